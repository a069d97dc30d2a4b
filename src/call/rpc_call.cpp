// The call cycle: presence check, numbering, framing, sending, waiting, closing. Run on the
// worker from the start (rpc_call), or begun on the caller's thread and finished, when the
// reply is not in within the wait budget, on the worker (start_call).
#include <algorithm>
#include <chrono>
#include <variant>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "call/connection.hpp"
#include "call/rpc.hpp"
#include "codec/frame.hpp"
#include "wire/error_text.hpp"

namespace pen::call {
namespace {

namespace net = boost::asio;
using Clock = std::chrono::steady_clock;
using SlotGuard = AsyncMutex<std::optional<InstalledConnection>>::Guard;
using CounterGuard = AsyncMutex<std::uint32_t>::Guard;
using Need = Connection::Need;
using Progress = std::variant<Need, Result<Bytes>>;

// When the deadline passes, the reply may already be here (in the socket, or half read): this
// long more lets a read that is ready complete and settle the call.
constexpr auto ARRIVAL_GRACE = std::chrono::milliseconds(5);

// A numbered call and the connection its request went to, with the call's one deadline,
// counted from the moment the request is handed to the connection.
struct Exchange {
  std::uint32_t seq = 0;
  std::uint16_t fn_id = 0;
  InstalledConnection conn;
  Clock::time_point deadline;
  bool sent = false;
  bool grace_used = false;

  EngineError failure(std::string message) const {
    return EngineError::transport(seq, fn_id, std::move(message));
  }
};

// The first steps of a call, shared by the worker's path (rpc_call, which takes each guard in
// turn) and the caller's thread (start_call, which holds both guards already).

// 1. Presence check, under the connection guard: no number is spent while nothing is connected.
std::optional<EngineError> absent(const SlotGuard& slot, std::uint16_t fn_id) {
  if (slot->has_value()) return std::nullopt;
  return EngineError::transport(std::nullopt, fn_id, "no websocket connected");
}

// 2. Numbering, under the counter's guard, wrapping from 4294967295 to 0, and 3. framing: the
// header; the payload goes out from where it is.
Result<codec::RequestHead> number(Exchange& x, CounterGuard& counter, std::size_t payload_len) {
  x.seq = *counter;
  *counter = x.seq + 1;
  return codec::encode_request_head(x.seq, x.fn_id, payload_len);
}

// 4. The request handed to the connection in the slot, under its guard; the deadline starts.
std::optional<EngineError> hand_over(Exchange& x, const SlotGuard& slot,
                                     const codec::RequestHead& head, Bytes payload,
                                     const Timeout& timeout) {
  if (!slot->has_value()) return x.failure("connection missing");
  x.conn = **slot;
  x.deadline = deadline_after(Clock::now(), timeout);
  x.conn.conn->queue_binary(head, std::move(payload));
  return std::nullopt;
}

struct RequestOut {};
using Sending = std::variant<RequestOut, Need, Result<Bytes>>;

// The rest of the request, as far as the socket takes it now: all of it out, the socket full
// (Need::Write), or the call's outcome after a failed send.
Sending send_rest(Exchange& x) {
  if (x.sent) return RequestOut{};
  std::string failure;
  switch (x.conn.conn->flush(failure)) {
    case Connection::Flush::Blocked: return Need::Write;
    case Connection::Flush::Failed:
      return Result<Bytes>(x.failure("websocket send failed: " + failure));
    case Connection::Flush::Done: break;
  }
  x.sent = true;
  return RequestOut{};
}

// The messages that are in, in arrival order, until one settles the call.
Progress take_messages(Exchange& x) {
  Connection& conn = *x.conn.conn;
  while (std::optional<wire::Incoming> item = conn.receive()) {
    if (item->type == wire::Incoming::Type::Close)
      return Result<Bytes>(x.failure("websocket closed"));
    if (item->type == wire::Incoming::Type::Failed)
      return Result<Bytes>(x.failure("websocket recv failed: " + wire::error_text(item->error)));
    const ByteView head(item->head.data(), std::min(item->size, codec::HEADER_LEN));
    codec::ReplyStep step = codec::classify_reply(head, item->size, std::move(item->body), x.seq,
                                                  x.fn_id);
    if (auto* settled = std::get_if<codec::Settled>(&step)) return std::move(settled->outcome);
    if (auto* ping = std::get_if<codec::AnswerPing>(&step))
      conn.queue_binary({}, std::move(ping->pong));
  }
  std::string ignored;  // a failed Pong is ignored
  if (conn.output_pending() && conn.flush(ignored) == Connection::Flush::Blocked)
    return Need::Write;
  return Need::Read;
}

// Where a call stands after a send that did not get all of the request out.
Progress unsent(Sending sending) {
  if (auto* need = std::get_if<Need>(&sending)) return *need;
  return std::move(std::get<Result<Bytes>>(sending));
}

Progress advance(Exchange& x) {
  Sending sending = send_rest(x);
  return std::holds_alternative<RequestOut>(sending) ? take_messages(x)
                                                     : unsent(std::move(sending));
}

// Past the deadline, the first time: a short grace, in case the reply is already arriving;
// past it again, the time-out.
std::optional<Result<Bytes>> expiry(Exchange& x) {
  if (Clock::now() < x.deadline) return std::nullopt;
  if (x.grace_used) return Result<Bytes>(x.failure("timeout waiting response"));
  x.grace_used = true;
  x.deadline = Clock::now() + ARRIVAL_GRACE;
  return std::nullopt;
}

// The deadline's timer ends the wait in progress when it fires; it outlives the exchange only
// as a handler that finds `over` set and touches nothing.
struct DeadlineWatch {
  bool over = false;
  Connection* conn = nullptr;
};

void arm(net::steady_timer& timer, const std::shared_ptr<DeadlineWatch>& watch,
         Clock::time_point deadline) {
  timer.expires_at(deadline);
  timer.async_wait([watch](boost::system::error_code ec) {
    if (!ec && !watch->over) watch->conn->cancel_wait();
  });
}

// On the worker, under the connection guard: sends the rest of the request and then, with
// `receive`, waits for the outcome; nullopt when the request is out and `receive` is false.
// Messages already in are handled before the deadline is looked at.
net::awaitable<std::optional<Result<Bytes>>> run_exchange(Exchange& x, bool receive) {
  auto watch = std::make_shared<DeadlineWatch>();
  watch->conn = x.conn.conn.get();
  net::steady_timer timer(co_await net::this_coro::executor);
  arm(timer, watch, x.deadline);
  struct EndWatch {
    DeadlineWatch& watch;
    net::steady_timer& timer;
    Connection& conn;
    ~EndWatch() {
      watch.over = true;
      timer.cancel();
      conn.end_waits();
    }
  } end_watch{*watch, timer, *x.conn.conn};

  for (;;) {
    Sending sending = send_rest(x);
    const bool out = std::holds_alternative<RequestOut>(sending);
    if (out && !receive) co_return std::nullopt;
    Progress progress = out ? take_messages(x) : unsent(std::move(sending));
    if (auto* outcome = std::get_if<Result<Bytes>>(&progress)) co_return std::move(*outcome);
    const auto deadline = x.deadline;
    if (auto timed_out = expiry(x)) co_return std::move(*timed_out);
    if (x.deadline != deadline) arm(timer, watch, x.deadline);
    // Half a request cannot be taken back (it would corrupt the stream), so until all of it
    // is out only the deadline ends the wait, not a cancellation.
    co_await x.conn.conn->wait_ready(std::get<Need>(progress), x.sent);
  }
}

// After a transport failure the connection it happened on is dropped, unless a newer one has
// replaced it in the slot. The guard is held throughout.
void close_after(SlotGuard& slot, Exchange& x, const Result<Bytes>& outcome) {
  if (outcome.ok() || outcome.error().kind != ErrorKind::RpcTransportError) return;
  if (slot->has_value() && x.conn.conn && (*slot)->generation == x.conn.generation) slot->reset();
  x.conn = {};  // the slot held the other reference: the socket closes now
}

// Counts a call of the engine from its start on the caller's thread to its end, wherever that
// is; the connection is idle only when no call is counted.
class CallCount {
 public:
  explicit CallCount(std::shared_ptr<EngineShared> shared)
      : shared_(std::move(shared)), alone_(shared_->calls_in_progress.fetch_add(1) == 0) {}
  CallCount(CallCount&& other) noexcept : shared_(std::move(other.shared_)), alone_(other.alone_) {}
  CallCount& operator=(CallCount&&) = delete;
  ~CallCount() {
    if (shared_) shared_->calls_in_progress.fetch_sub(1);
  }
  bool alone() const { return alone_; }

  // Waits until this is the engine's only call, as long as the calls ahead of it keep
  // finishing, one at least every `window`. They run on the worker, which finishes them
  // without this thread: a caller that keeps several calls in flight (tasks on one loop)
  // would otherwise never find the engine idle again once one of its calls went to the
  // worker. Calls that cannot finish while this thread waits (a UI on its own loop) end the
  // wait after one window.
  bool wait_alone(Clock::duration window) {
    unsigned ahead = shared_->calls_in_progress.load() - 1;
    const auto start = Clock::now();
    const auto last = start + window * (ahead + 1);  // others' new calls cannot keep it here
    auto until = start + window;
    while (!alone_) {
      const unsigned now_ahead = shared_->calls_in_progress.load() - 1;
      alone_ = now_ahead == 0;
      if (alone_) break;
      const auto now = Clock::now();
      if (now_ahead < ahead) {
        ahead = now_ahead;
        until = std::min(now + window, last);
      } else if (now >= until) {
        break;
      }
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    return alone_;
  }

 private:
  std::shared_ptr<EngineShared> shared_;
  bool alone_;
};

net::awaitable<Result<Bytes>> counted(net::awaitable<Result<Bytes>> work, CallCount) {
  co_return co_await std::move(work);
}

// The worker's part of a call begun on the caller's thread, under the guard that thread took.
net::awaitable<Result<Bytes>> finish_call(SlotGuard slot, Exchange x, CallCount) {
  co_await net::this_coro::throw_if_cancelled(false);
  Result<Bytes> outcome = std::move(*co_await run_exchange(x, true));
  close_after(slot, x, outcome);
  co_return outcome;
}

}  // namespace

net::awaitable<Result<Bytes>> rpc_call(std::shared_ptr<EngineShared> shared, std::uint16_t fn_id,
                                       Bytes payload, Timeout timeout) {
  // Cancellation ends the call at its waits for a lock or a reply, never mid-send.
  co_await net::this_coro::throw_if_cancelled(false);

  // 1. Presence check, 2. numbering and 3. framing, each under its own guard.
  Exchange x;
  x.fn_id = fn_id;
  {
    auto slot = co_await shared->conn_slot.async_lock(net::use_awaitable);
    if (auto error = absent(slot, fn_id)) co_return std::move(*error);
  }
  Result<codec::RequestHead> head;
  {
    auto counter = co_await shared->seq_counter.async_lock(net::use_awaitable);
    head = number(x, counter, payload.size());
  }
  if (!head) co_return std::move(head).error();

  // 4. Sending, within the call's deadline.
  {
    auto slot = co_await shared->conn_slot.async_lock(net::use_awaitable);
    if (auto error = hand_over(x, slot, head.value(), std::move(payload), timeout))
      co_return std::move(*error);
    if (auto failed = co_await run_exchange(x, false)) {
      close_after(slot, x, *failed);
      co_return std::move(*failed);
    }
  }

  // 5. Waiting, on whatever connection the slot holds now, and 6. closing after a transport
  // failure (under the same guard).
  auto slot = co_await shared->conn_slot.async_lock(net::use_awaitable);
  if (!slot->has_value()) co_return x.failure("connection missing");
  x.conn = **slot;
  Result<Bytes> outcome = std::move(*co_await run_exchange(x, true));
  close_after(slot, x, outcome);
  co_return outcome;
}

struct HeldCall::State {
  SlotGuard slot;
  Exchange x;
  CallCount count;
  Need need = Need::Write;

  Result<Bytes> settle(Result<Bytes> outcome) {
    close_after(slot, x, outcome);
    slot.unlock();
    CallCount ended(std::move(count));
    return outcome;
  }
};

namespace {

// The steps of the call path up to the wait. `hold`: the calling thread may take the
// connection; `idle_window`: how long it waits for the engine's other calls to end first (a
// wait that ends with the engine still busy counts as a miss of the wait budget).
CallBegin begin(std::shared_ptr<EngineShared> shared, std::uint16_t fn_id, Bytes payload,
                Timeout timeout, bool hold, Clock::duration idle_window) {
  CallBegin out;
  if (!shared->sync_wait.load(std::memory_order_relaxed)) {
    out.rest.emplace(rpc_call(std::move(shared), fn_id, std::move(payload), timeout));
    return out;
  }
  CallCount count(shared);
  if (hold && !count.alone() && idle_window > Clock::duration::zero() &&
      !count.wait_alone(idle_window))
    shared->wait_budget.miss();
  SlotGuard slot = hold && count.alone() ? shared->conn_slot.try_lock() : SlotGuard();
  CounterGuard counter = slot ? shared->seq_counter.try_lock() : CounterGuard();
  if (!counter) {
    slot.unlock();
    out.rest.emplace(
        counted(rpc_call(shared, fn_id, std::move(payload), timeout), std::move(count)));
    return out;
  }

  // The steps of rpc_call, with both guards taken at once: nobody else was waiting for them.
  if (auto error = absent(slot, fn_id)) {
    out.done.emplace(std::move(*error));
    return out;
  }
  Exchange x;
  x.fn_id = fn_id;
  Result<codec::RequestHead> head = number(x, counter, payload.size());
  counter.unlock();
  if (!head) {
    out.done.emplace(std::move(head).error());
    return out;
  }
  hand_over(x, slot, head.value(), std::move(payload), timeout);  // the slot holds a connection
  out.held.emplace(std::make_unique<HeldCall::State>(
      HeldCall::State{std::move(slot), std::move(x), std::move(count)}));
  return out;
}

}  // namespace

HeldCall::HeldCall(std::unique_ptr<State> state) : state_(std::move(state)) {}
HeldCall::HeldCall(HeldCall&&) noexcept = default;
HeldCall& HeldCall::operator=(HeldCall&&) noexcept = default;
HeldCall::~HeldCall() = default;

int HeldCall::socket() const { return state_->x.conn.conn->native_handle(); }
bool HeldCall::want_write() const { return state_->need == Need::Write; }
Clock::time_point HeldCall::deadline() const { return state_->x.deadline; }

std::optional<Result<Bytes>> HeldCall::advance() {
  Progress progress = call::advance(state_->x);
  if (auto* need = std::get_if<Need>(&progress)) {
    state_->need = *need;
    return std::nullopt;
  }
  return state_->settle(std::move(std::get<Result<Bytes>>(progress)));
}

std::optional<Result<Bytes>> HeldCall::expire() {
  if (auto timed_out = expiry(state_->x)) return state_->settle(std::move(*timed_out));
  return std::nullopt;
}

net::awaitable<Result<Bytes>> HeldCall::finish() && {
  State& s = *state_;
  return finish_call(std::move(s.slot), std::move(s.x), std::move(s.count));
}

CallBegin begin_call(std::shared_ptr<EngineShared> shared, std::uint16_t fn_id, Bytes payload,
                     Timeout timeout) {
  return begin(std::move(shared), fn_id, std::move(payload), timeout, true,
               Clock::duration::zero());
}

CallStart start_call(std::shared_ptr<EngineShared> shared, std::uint16_t fn_id, Bytes payload,
                     Timeout timeout) {
  // While the wait is paused (a UI that answers late), the whole call goes to the worker, as
  // with the switch off: sending here first would only add a hand-off.
  const bool on = shared->sync_wait.load(std::memory_order_relaxed);
  const auto budget = on ? shared->wait_budget.next() : WaitBudget::Duration::zero();
  const bool wait = budget > WaitBudget::Duration::zero();
  CallBegin begun = begin(shared, fn_id, std::move(payload), timeout, wait,
                          wait ? WaitBudget::LONGEST : WaitBudget::Duration::zero());
  CallStart out;
  if (begun.done) out.done = std::move(begun.done);
  if (begun.rest) out.rest = std::move(begun.rest);
  if (!begun.held) return out;

  // Spin on the socket: on this machine, a wake-up from a blocking wait costs more than a
  // fast UI takes to answer.
  HeldCall& call = *begun.held;
  const auto start = Clock::now();
  const auto until = std::min(call.deadline(), start + budget);
  std::optional<Result<Bytes>> outcome = call.advance();
  while (!outcome && Clock::now() < until) outcome = call.advance();
  if (outcome) {
    shared->wait_budget.hit(Clock::now() - start);
    out.done = std::move(outcome);
    return out;
  }
  shared->wait_budget.miss();
  out.rest.emplace(std::move(call).finish());
  return out;
}

}  // namespace pen::call
