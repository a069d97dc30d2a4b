// The call cycle: presence check, numbering, framing, sending, waiting, closing.
#include <algorithm>
#include <chrono>

#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "ws/connection.hpp"
#include "codec/frame.hpp"
#include "ws/rpc.hpp"

namespace pen::ws {
namespace {

namespace net = boost::asio;
using Clock = std::chrono::steady_clock;

// When the deadline passes, the reply may already be here (in the socket, or in the stream's
// buffer): this long more lets a read that is ready complete and settle the call.
constexpr auto ARRIVAL_GRACE = std::chrono::milliseconds(5);

struct Call {
  std::uint32_t seq;
  std::uint16_t fn_id;

  EngineError failure(std::string message) const {
    return EngineError::transport(seq, fn_id, std::move(message));
  }
};

// Takes messages until one settles the call. Runs under the connection guard.
net::awaitable<Result<Bytes>> await_reply(Connection& conn, const Call& call,
                                          Clock::time_point deadline) {
  bool grace_used = false;
  for (;;) {
    // Messages already queued are handled before the deadline is looked at.
    std::optional<Incoming> item = conn.try_next();
    if (!item) {
      if (Clock::now() >= deadline) {
        if (grace_used) co_return call.failure("timeout waiting response");
        grace_used = true;
        deadline = Clock::now() + ARRIVAL_GRACE;
      }
      item = co_await conn.next_until(deadline);
      if (!item) continue;
    }

    switch (item->type) {
      case Incoming::Type::Text:
        continue;
      case Incoming::Type::Closed:
        co_return call.failure("websocket closed");
      case Incoming::Type::Failed:
        co_return call.failure("websocket recv failed: " + item->error);
      case Incoming::Type::Binary:
        break;
    }
    codec::ReplyStep step = codec::classify_reply(item->data, call.seq, call.fn_id);
    if (auto* settled = std::get_if<codec::Settled>(&step)) co_return std::move(settled->outcome);
    if (auto* ping = std::get_if<codec::AnswerPing>(&step)) {
      // A failed pong is ignored. Past the deadline the pong still gets a moment, since a
      // reply may already be queued behind the Ping.
      const auto pong_deadline = std::max(deadline, Clock::now() + ARRIVAL_GRACE);
      (void)co_await conn.send_binary(ping->pong, pong_deadline);
    }
  }
}

}  // namespace

net::awaitable<Result<Bytes>> rpc_call(std::shared_ptr<EngineShared> shared, std::uint16_t fn_id,
                                       Bytes payload, Timeout timeout) {
  // 1. Presence check: no number is spent while nothing is connected.
  {
    auto slot = co_await shared->conn_slot.async_lock(net::use_awaitable);
    if (!slot->has_value())
      co_return EngineError::transport(std::nullopt, fn_id, "no websocket connected");
  }

  // 2. Numbering, wrapping from 4294967295 to 0.
  Call call{0, fn_id};
  {
    auto counter = co_await shared->seq_counter.async_lock(net::use_awaitable);
    call.seq = *counter;
    *counter = call.seq + 1;
  }

  // 3. Framing.
  Result<Bytes> frame = codec::encode_request(call.seq, fn_id, payload);
  if (!frame) co_return std::move(frame).error();
  payload = Bytes();

  // 4. Sending. The time-out does not apply here.
  {
    auto slot = co_await shared->conn_slot.async_lock(net::use_awaitable);
    if (!slot->has_value()) co_return call.failure("connection missing");
    auto conn = (*slot)->conn;
    if (auto err = co_await conn->send_binary(frame.value())) {
      slot->reset();
      conn.reset();  // the slot held the other reference: the socket closes now
      co_return call.failure("websocket send failed: " + *err);
    }
  }

  // 5. Waiting, with one deadline for the whole wait.
  InstalledConnection waited_on;
  std::optional<Result<Bytes>> outcome;
  {
    auto slot = co_await shared->conn_slot.async_lock(net::use_awaitable);
    if (!slot->has_value()) {
      outcome.emplace(call.failure("connection missing"));
    } else {
      waited_on = **slot;
      const auto deadline = deadline_after(Clock::now(), timeout);
      outcome.emplace(co_await await_reply(*waited_on.conn, call, deadline));
    }
  }

  // 6. Closing after a transport failure, only if the failed connection is still installed.
  if (!outcome->ok() && outcome->error().kind == ErrorKind::RpcTransportError) {
    auto slot = co_await shared->conn_slot.async_lock(net::use_awaitable);
    if (slot->has_value() && waited_on.conn && (*slot)->generation == waited_on.generation) {
      slot->reset();
    }
  }
  waited_on = {};
  co_return std::move(*outcome);
}

}  // namespace pen::ws
