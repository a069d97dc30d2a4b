#include "codec/engine_error.hpp"

#include <utility>

namespace pen {
namespace {

template <class T>
std::string optional_text(const std::optional<T>& v) {
  return v ? "Some(" + std::to_string(*v) + ")" : "None";
}

}  // namespace

EngineError EngineError::invalid_data(std::string message) {
  return {ErrorKind::InvalidData, std::move(message), std::nullopt, std::nullopt, 0, 0};
}

EngineError EngineError::rpc(std::uint32_t seq, std::uint16_t fn_id, std::uint16_t err,
                             std::uint16_t sub, std::string message) {
  return {ErrorKind::RpcError, std::move(message), seq, fn_id, err, sub};
}

EngineError EngineError::transport(std::optional<std::uint32_t> seq,
                                   std::optional<std::uint16_t> fn_id, std::string message) {
  return {ErrorKind::RpcTransportError, std::move(message), seq, fn_id, 0, 0};
}

std::string EngineError::text() const {
  switch (kind) {
    case ErrorKind::InvalidData: return message;
    case ErrorKind::RpcError:
      return "RpcError(seq=" + std::to_string(seq.value_or(0)) +
             ", fnId=" + std::to_string(fn_id.value_or(0)) + ", err=" + std::to_string(err) +
             ", sub=" + std::to_string(sub) + "): " + message;
    case ErrorKind::RpcTransportError:
      return "RpcTransportError(seq=" + optional_text(seq) + ", fnId=" + optional_text(fn_id) +
             "): " + message;
  }
  return message;
}

}  // namespace pen
