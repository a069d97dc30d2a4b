#include "call/connection.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "wire/error_text.hpp"

namespace pen::call {

namespace net = boost::asio;
using boost::system::error_code;
using tcp = net::ip::tcp;

namespace {
constexpr std::uint8_t OP_CLOSE = 8, OP_PONG = 10;
}  // namespace

Connection::Connection(tcp::socket socket) {
  error_code ignored;
  socket.native_non_blocking(true, ignored);
  fd_ = socket.release(ignored);  // leaves the event loop it was accepted on
}

Connection::~Connection() {
  end_waits();
  if (fd_ >= 0) ::close(fd_);
}

void Connection::close() {
  // Shut down, not closed: the descriptor stays valid (and unused by anyone else) for the
  // thread that may be reading it right now; the destructor closes it.
  closed_ = true;
  ::shutdown(fd_, SHUT_RDWR);
}

void Connection::queue_binary(ByteView head, Bytes body) {
  writer_.queue_binary(head, std::move(body));
}

Connection::Flush Connection::flush(std::string& failure) {
  error_code ec;
  switch (writer_.flush(fd(), ec)) {
    case wire::FrameWriter::Status::Done: return Flush::Done;
    case wire::FrameWriter::Status::WouldBlock: return Flush::Blocked;
    case wire::FrameWriter::Status::Failed: break;
  }
  writer_.clear();
  failure = wire::error_text(ec);
  return Flush::Failed;
}

void Connection::flush_ignoring_failure() {
  std::string ignored;
  (void)flush(ignored);
}

std::optional<wire::Incoming> Connection::receive() {
  if (!ended_ && closed_) ended_.emplace().type = wire::Incoming::Type::Close;
  if (ended_) return ended_;
  wire::Incoming item;
  while (reader_.read(fd(), item) == wire::FrameReader::Status::Item) {
    switch (item.type) {
      case wire::Incoming::Type::Binary: return item;
      case wire::Incoming::Type::Text: continue;
      case wire::Incoming::Type::Ping:
        writer_.queue_control(OP_PONG, item.body);
        flush_ignoring_failure();
        continue;
      case wire::Incoming::Type::Close: {
        // The close handshake: echo the code, then stop sending.
        std::byte code[2] = {static_cast<std::byte>(item.close_code >> 8),
                             static_cast<std::byte>(item.close_code & 0xFF)};
        writer_.queue_control(OP_CLOSE, ByteView(code, item.close_code != 0 ? 2 : 0));
        flush_ignoring_failure();
        ::shutdown(fd(), SHUT_WR);
        break;
      }
      case wire::Incoming::Type::Failed:
        if (closed_) item.type = wire::Incoming::Type::Close;  // the end of close()'s shutdown
        break;
    }
    ended_ = std::move(item);
    return ended_;
  }
  return std::nullopt;
}

net::awaitable<void> Connection::wait_ready(Need need, bool cancellable) {
  using Descriptor = net::posix::stream_descriptor;
  const auto type = need == Need::Read ? Descriptor::wait_read : Descriptor::wait_write;
  if (!watch_) watch_.emplace(co_await net::this_coro::executor, fd_);
  if (!cancellable) {
    (void)co_await watch_->async_wait(
        type,
        net::bind_cancellation_slot(net::cancellation_slot(), net::as_tuple(net::use_awaitable)));
    co_return;
  }
  // A cancellation that came while nothing could be interrupted ends the call here.
  auto state = co_await net::this_coro::cancellation_state;
  if (state.cancelled() == net::cancellation_type::none)
    (void)co_await watch_->async_wait(type, net::as_tuple(net::use_awaitable));
  if (state.cancelled() != net::cancellation_type::none)
    throw boost::system::system_error(net::error::operation_aborted, "waiting for the socket");
}

void Connection::cancel_wait() {
  error_code ignored;
  if (watch_) watch_->cancel(ignored);
}

void Connection::end_waits() {
  if (!watch_) return;
  (void)watch_->release();  // unregisters; the descriptor stays open
  watch_.reset();
}

}  // namespace pen::call
