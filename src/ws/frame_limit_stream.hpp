// FrameLimitStream: the layer between the WebSocket stream and its TCP socket that enforces
// the per-frame size limit, which Beast lacks (it limits whole messages only).
//
// Reads pass through unchanged; once watching starts (right after the upgrade), a small
// scanner follows the client's frame headers through the byte stream and fails the read that
// carries a header announcing more than MAX_FRAME_BYTES of payload. Beast then reports that
// read error like any other, and the connection ends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <boost/system/error_code.hpp>

namespace pen::ws {

inline constexpr std::uint64_t MAX_FRAME_BYTES = std::uint64_t{16} << 20;  // 16 MiB

// "WebSocket frame larger than 16 MiB"
boost::system::error_code frame_too_big_error();

// Follows RFC 6455 frame boundaries in a byte stream, one chunk at a time.
class FrameScanner {
 public:
  explicit FrameScanner(std::uint64_t max_payload = MAX_FRAME_BYTES) : max_payload_(max_payload) {}
  // False once a frame header announces a payload above the limit.
  bool feed(const unsigned char* data, std::size_t n);

 private:
  std::uint64_t max_payload_;
  std::uint64_t payload_left_ = 0;  // of the frame being passed through
  std::array<unsigned char, 14> header_{};
  std::size_t have_ = 0;   // header bytes collected
  std::size_t need_ = 2;   // header length, known once the first two bytes are in
};

class FrameLimitStream {
 public:
  using next_layer_type = boost::asio::ip::tcp::socket;
  using executor_type = next_layer_type::executor_type;

  explicit FrameLimitStream(next_layer_type socket) : socket_(std::move(socket)) {}

  executor_type get_executor() noexcept { return socket_.get_executor(); }
  next_layer_type& next_layer() noexcept { return socket_; }
  const next_layer_type& next_layer() const noexcept { return socket_; }

  // Every byte read from now on belongs to a WebSocket frame.
  void watch_frames() noexcept { watching_ = true; }

  template <class MutableBuffers, class Token>
  auto async_read_some(const MutableBuffers& buffers, Token&& token) {
    return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
        [this, buffers, started = false](auto& self, boost::system::error_code ec = {},
                                         std::size_t n = 0) mutable {
          if (!started) {
            started = true;
            socket_.async_read_some(buffers, std::move(self));
            return;
          }
          if (!ec && watching_ && !scan(buffers, n)) ec = frame_too_big_error();
          self.complete(ec, n);
        },
        token, socket_);
  }

  template <class ConstBuffers, class Token>
  auto async_write_some(const ConstBuffers& buffers, Token&& token) {
    return socket_.async_write_some(buffers, std::forward<Token>(token));
  }

 private:
  template <class MutableBuffers>
  bool scan(const MutableBuffers& buffers, std::size_t n) {
    for (auto it = boost::asio::buffer_sequence_begin(buffers);
         n > 0 && it != boost::asio::buffer_sequence_end(buffers); ++it) {
      boost::asio::const_buffer b = *it;
      const std::size_t part = std::min(n, b.size());
      if (!scanner_.feed(static_cast<const unsigned char*>(b.data()), part)) return false;
      n -= part;
    }
    return true;
  }

  next_layer_type socket_;
  FrameScanner scanner_;
  bool watching_ = false;
};

// Closing the WebSocket closes the TCP socket underneath at once. Beast's own TCP teardown
// reads until the peer closes, and a peer that never does (say, after a protocol violation)
// would hold the failing read, and with it the waiting call, until the call's time-out.
inline void teardown(boost::beast::role_type, FrameLimitStream& s, boost::system::error_code& ec) {
  boost::system::error_code ignored;
  s.next_layer().shutdown(boost::asio::socket_base::shutdown_send, ignored);  // FIN after the close frame
  s.next_layer().close(ec);
}

template <class Handler>
void async_teardown(boost::beast::role_type role, FrameLimitStream& s, Handler&& handler) {
  boost::system::error_code ec;
  teardown(role, s, ec);
  // Completes like any asynchronous operation: never inside the call, on the handler's executor.
  boost::asio::post(s.get_executor(),
                    boost::beast::bind_front_handler(std::forward<Handler>(handler), ec));
}

}  // namespace pen::ws
