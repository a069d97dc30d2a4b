#include "ws/connection.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/experimental/channel.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "ws/connection_stream.hpp"
#include "ws/diagnostics.hpp"
#include "ws/error_text.hpp"

namespace pen::ws {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using boost::system::error_code;

void apply_connection_settings(WebSocket& ws) {
  ws.read_message_max(READ_MESSAGE_MAX);
  ws.write_buffer_bytes(WRITE_BUFFER_BYTES);
  ws.auto_fragment(false);
  websocket::permessage_deflate no_compression;
  no_compression.server_enable = false;
  no_compression.client_enable = false;
  ws.set_option(no_compression);
  ws.set_option(websocket::stream_base::timeout{websocket::stream_base::none(),
                                                websocket::stream_base::none(), false});
}

struct Connection::Core {
  explicit Core(std::unique_ptr<WsStream> s)
      : executor(s->ws.get_executor()),
        stream(std::move(s)),
        queue(executor, QUEUE_CAPACITY),
        demand(executor, 1) {}

  // Runs on the strand: no operation of this stream can be in the middle of running.
  void drop() {
    dropped = true;
    error_code ignored;
    stream->socket().close(ignored);
    queue.close();
    demand.close();
  }

  // Starts a read unless one is in progress or the reader has stopped.
  void request_read() {
    if (reading || ended || dropped) return;
    reading = true;
    demand.try_send(error_code{});
  }

  net::any_io_executor executor;
  std::unique_ptr<WsStream> stream;
  net::experimental::channel<void(error_code, Incoming)> queue;
  net::experimental::channel<void(error_code)> demand;  // one token per requested read
  std::optional<Incoming> ended;  // the reader's final item, once it has stopped
  bool reading = false;
  bool dropped = false;
};

namespace {

Incoming final_item(const error_code& ec) {
  Incoming item;
  if (ec == websocket::error::closed) {
    item.type = Incoming::Type::Closed;
  } else {
    item.type = Incoming::Type::Failed;
    item.error = error_text(ec);
  }
  return item;
}

net::awaitable<void> read_messages(std::shared_ptr<Connection::Core> core) {
  auto& ws = core->stream->ws;
  for (;;) {
    auto [demand_ec] = co_await core->demand.async_receive(net::as_tuple(net::use_awaitable));
    if (demand_ec || core->dropped) co_return;
    Incoming item;
    auto buffer = net::dynamic_buffer(item.data);
    auto [ec, n] = co_await ws.async_read(buffer, net::as_tuple(net::use_awaitable));
    if (core->dropped) co_return;
    if (ec) {
      item = final_item(ec);
      core->ended = item;
    } else {
      item.type = ws.got_binary() ? Incoming::Type::Binary : Incoming::Type::Text;
    }
    auto [send_ec] = co_await core->queue.async_send(error_code{}, std::move(item),
                                                     net::as_tuple(net::use_awaitable));
    core->reading = false;
    if (send_ec || core->ended) co_return;
  }
}

}  // namespace

std::shared_ptr<Connection> Connection::start(std::unique_ptr<WsStream> stream) {
  auto core = std::make_shared<Core>(std::move(stream));
  net::co_spawn(core->executor, read_messages(core), LogTaskFailure{"connection reader"});
  return std::shared_ptr<Connection>(new Connection(std::move(core)));
}

Connection::~Connection() { close(); }

void Connection::close() {
  // Inline when called on the strand (the normal case); posted otherwise. Should even the
  // post fail (no memory), the socket still closes when the last reference to it goes.
  try {
    net::dispatch(core_->executor, [core = core_] { core->drop(); });
  } catch (...) {
  }
}

net::awaitable<std::optional<std::string>> Connection::send_binary(
    ByteView message, std::optional<TimePoint> deadline) {
  auto core = core_;
  // The write gets a cancellation slot of its own, fired only by the deadline, so that the
  // calling coroutine's cancellation cannot cut a frame in half.
  struct Stop {
    net::cancellation_signal signal;
    bool done = false;
  };
  auto stop = std::make_shared<Stop>();
  std::optional<net::steady_timer> timer;
  if (deadline) {
    timer.emplace(core->executor, *deadline);
    timer->async_wait([stop](error_code ec) {
      if (!ec && !stop->done) stop->signal.emit(net::cancellation_type::terminal);
    });
  }
  auto& ws = core->stream->ws;
  ws.binary(true);
  auto [ec, n] = co_await ws.async_write(
      net::buffer(message.data(), message.size()),
      net::bind_cancellation_slot(stop->signal.slot(), net::as_tuple(net::use_awaitable)));
  stop->done = true;
  stop->signal.slot().clear();
  if (timer) timer->cancel();
  if (ec) co_return error_text(ec);
  co_return std::nullopt;
}

std::optional<Incoming> Connection::try_next() {
  std::optional<Incoming> item;
  core_->queue.try_receive([&](error_code ec, Incoming in) {
    if (!ec) item = std::move(in);
  });
  if (!item && core_->ended) item = core_->ended;
  return item;
}

net::awaitable<std::optional<Incoming>> Connection::next_until(TimePoint deadline) {
  auto core = core_;
  core->request_read();
  net::steady_timer timer(core->executor, deadline);
  auto [order, recv_ec, item, timer_ec] =
      co_await net::experimental::make_parallel_group(core->queue.async_receive(net::deferred),
                                                      timer.async_wait(net::deferred))
          .async_wait(net::experimental::wait_for_one(), net::use_awaitable);
  (void)order;
  if (!recv_ec) co_return std::move(item);
  if (!timer_ec) co_return std::nullopt;  // the deadline came first
  if (core->dropped) {
    Incoming closed;
    closed.type = Incoming::Type::Closed;
    co_return core->ended.value_or(closed);
  }
  throw boost::system::system_error(net::error::operation_aborted, "waiting for a message");
}

}  // namespace pen::ws
