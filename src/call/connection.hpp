// Connection: the admitted WebSocket connection held in the connection slot.
//
// Only the holder of the connection lock touches it, from whichever thread holds the lock:
// the caller's thread in the call path, the engine's worker otherwise. Everything but
// `wait_ready` is a non-blocking system call on the socket, and the reader and the writer keep
// their progress in the object, so one thread may start an exchange and another finish it.
// Nothing reads the connection between calls: what the UI sends meanwhile stays in the socket
// (a flooding peer meets TCP back-pressure) and is read by the next call.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include "codec/bytes.hpp"
#include "wire/wire.hpp"

namespace pen::call {

class Connection {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  enum class Flush { Done, Blocked, Failed };
  enum class Need { Read, Write };

  // Takes over a socket whose opening handshake is complete.
  explicit Connection(boost::asio::ip::tcp::socket socket);
  // Closes the socket at once, without a close frame.
  ~Connection();
  // Closes the socket now, as dropping does, while calls may still hold the connection: a
  // call waiting for a message then gets Closed, a send fails. Any thread.
  void close();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Queues a Binary message of `head` and then `body` (a request frame: its 16-byte header
  // and its payload, sent from where it lies).
  void queue_binary(ByteView head, Bytes body);
  // Sends what is queued as far as the socket takes it now; on Failed, `failure` holds the
  // failure's text and the rest of the queue is dropped.
  Flush flush(std::string& failure);
  bool output_pending() const { return !writer_.empty(); }
  // The socket, for a holder of the connection lock that waits on it with poll(2).
  int native_handle() const { return fd_; }

  // The next Binary message, or the connection's end (Close or Failed, repeated for every
  // later call), or nullopt when nothing more is complete now. WebSocket Pings are answered
  // (a failed Pong is ignored), Pongs and Text messages dropped, a Close answered in kind.
  std::optional<wire::Incoming> receive();

  // For the worker only: waits until the socket is readable or writable, or until
  // cancel_wait. Cancellation of the calling coroutine ends the wait with operation_aborted
  // (thrown) unless `cancellable` is false.
  boost::asio::awaitable<void> wait_ready(Need need, bool cancellable);
  // Ends a wait_ready in progress (a call's deadline); on the worker.
  void cancel_wait();
  // The worker is done waiting on this connection for now; on the worker.
  void end_waits();

 private:
  int fd() const { return fd_; }
  void flush_ignoring_failure();
  // receive() without regard to close().
  std::optional<wire::Incoming> next_message();

  int fd_;
  // The socket is known to the worker's event loop only while the worker waits on it: while
  // it is, every segment that arrives wakes the worker, also when the caller's thread is the
  // one reading.
  std::optional<boost::asio::posix::stream_descriptor> watch_;
  wire::FrameReader reader_;
  wire::FrameWriter writer_;
  std::optional<wire::Incoming> ended_;
  std::atomic<bool> closed_{false};
};

}  // namespace pen::call
