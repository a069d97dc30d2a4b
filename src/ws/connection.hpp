// Connection: the admitted WebSocket connection held in the connection slot.
//
// Each connection owns a reader task that reads one message whenever a waiting call asks for
// one, so nothing reads the connection between calls (what the UI sends meanwhile stays in
// the socket, and a flooding peer meets TCP back-pressure). A call may stop waiting at any
// time without harm: a read it asked for is never cancelled (the WebSocket stream would count
// that as a failure); it completes and its message waits in the queue for the next call.
// WebSocket-level pings are answered by the stream while a read is in progress.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "codec/bytes.hpp"

namespace pen::ws {

struct WsStream;  // connection_stream.hpp

// One item of the queue, in arrival order. Closed and Failed are the reader's last item.
struct Incoming {
  enum class Type { Binary, Text, Closed, Failed };
  Type type = Type::Binary;
  Bytes data;         // the message (Binary, Text)
  std::string error;  // the read failure's text (Failed)
};

class Connection {
 public:
  // At most one read is ever in progress, so one queued message is all there can be.
  static constexpr std::size_t QUEUE_CAPACITY = 1;
  using TimePoint = std::chrono::steady_clock::time_point;

  // Takes over a stream whose opening handshake is complete and starts the reader. Call on
  // the stream's executor (the engine's strand).
  static std::shared_ptr<Connection> start(std::unique_ptr<WsStream> stream);

  // Dropping the connection closes its socket at once, without a close frame, and ends the
  // reader.
  ~Connection();
  // Closes the socket now, as dropping does, while calls may still hold the connection: a
  // call waiting for a message then gets Closed, a send fails. Any thread.
  void close();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends one Binary message; returns the failure text, if any. Cancelling the calling
  // coroutine does not interrupt a write that has begun (half a frame would corrupt the
  // stream). A write still pending at `deadline` is abandoned, which leaves the connection
  // unusable, as a time-out would anyway.
  boost::asio::awaitable<std::optional<std::string>> send_binary(
      ByteView message, std::optional<TimePoint> deadline = std::nullopt);

  // The next queued item, or the reader's final item again once the queue is empty.
  std::optional<Incoming> try_next();

  // Asks the reader for the next message (unless a read is already in progress) and waits
  // for it; nullopt when `deadline` comes first. Cancellation of the calling coroutine ends
  // the wait (operation_aborted) and leaves the read and the queue as they were.
  boost::asio::awaitable<std::optional<Incoming>> next_until(TimePoint deadline);

  struct Core;

 private:
  explicit Connection(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  std::shared_ptr<Core> core_;
};

}  // namespace pen::ws
