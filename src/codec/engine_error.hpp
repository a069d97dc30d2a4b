// The one error value of the codec, transport and engine layers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pen {

enum class ErrorKind {
  InvalidData,        // raised in Python as ValueError(message)
  RpcError,           // the UI's error reply; RuntimeError
  RpcTransportError,  // transport or protocol failure; RuntimeError
};

struct EngineError {
  ErrorKind kind = ErrorKind::InvalidData;
  std::string message;
  std::optional<std::uint32_t> seq;
  std::optional<std::uint16_t> fn_id;
  std::uint16_t err = 0;  // RpcError only
  std::uint16_t sub = 0;  // RpcError only

  static EngineError invalid_data(std::string message);
  static EngineError rpc(std::uint32_t seq, std::uint16_t fn_id, std::uint16_t err,
                         std::uint16_t sub, std::string message);
  static EngineError transport(std::optional<std::uint32_t> seq, std::optional<std::uint16_t> fn_id,
                               std::string message);

  // The exception text: the message itself for InvalidData,
  // "RpcError(seq=.., fnId=.., err=.., sub=..): msg" or
  // "RpcTransportError(seq=Some(n)|None, fnId=Some(n)|None): msg".
  std::string text() const;

  bool operator==(const EngineError&) const = default;
};

}  // namespace pen
