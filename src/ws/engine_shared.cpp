#include "ws/engine_shared.hpp"

#include "ws/connection.hpp"

namespace pen::ws {

EngineShared::EngineShared(boost::asio::any_io_executor executor_, std::uint32_t start_seq_)
    : executor(std::move(executor_)),
      conn_slot(std::nullopt),
      seq_counter(start_seq_),
      connected_signal(executor),
      start_seq(start_seq_) {}

}  // namespace pen::ws
