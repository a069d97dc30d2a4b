#include "call/engine_batch.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <mutex>
#include <system_error>
#include <utility>

#include <boost/asio/co_spawn.hpp>

namespace pen::call {

namespace net = boost::asio;

// Where the workers leave the outcomes of the calls handed to them, and an eventfd that
// wakes the batch's poll when they do. Shared with those calls, which may outlive the batch.
struct EngineBatch::Mailbox {
  Mailbox() : fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  }
  ~Mailbox() { ::close(fd); }

  void post(Settled item) {
    {
      std::lock_guard lock(mu);
      mail.push_back(std::move(item));
    }
    const std::uint64_t one = 1;
    (void)!::write(fd, &one, sizeof one);
  }

  std::vector<Settled> take() {
    std::uint64_t count;
    (void)!::read(fd, &count, sizeof count);
    std::lock_guard lock(mu);
    return std::exchange(mail, {});
  }

  std::mutex mu;
  std::vector<Settled> mail;
  const int fd;
};

EngineBatch::EngineBatch(std::vector<std::shared_ptr<EngineShared>> engines)
    : mailbox_(std::make_shared<Mailbox>()) {
  slots_.reserve(engines.size());
  for (auto& engine : engines) slots_.push_back(Slot{std::move(engine), std::nullopt, false});
}

EngineBatch::~EngineBatch() {
  for (Slot& slot : slots_) {
    if (!slot.held) continue;
    net::co_spawn(slot.engine->executor, std::move(*slot.held).finish(),
                  [](const std::exception_ptr&, const Result<Bytes>&) {});
  }
}

void EngineBatch::send(std::size_t index, std::uint16_t fn_id, Bytes payload,
                       const Timeout& timeout) {
  Slot& slot = slots_[index];
  slot.outstanding = true;
  ++outstanding_;
  CallBegin begun = begin_call(slot.engine, fn_id, std::move(payload), timeout);
  if (begun.done) return settle(index, std::move(*begun.done));
  if (begun.held) {
    slot.held = std::move(begun.held);
    slot.ready = false;  // advanced here; the poll says when it can go further
    if (auto outcome = slot.held->advance()) {  // the request out now, the reply maybe in
      slot.held.reset();
      settle(index, std::move(*outcome));
    }
    return;
  }
  ++on_workers_;
  net::co_spawn(
      slot.engine->executor, std::move(*begun.rest),
      [mailbox = mailbox_, index](const std::exception_ptr& failure, Result<Bytes> outcome) {
        mailbox->post(Settled{index, std::move(outcome), failure != nullptr});
      });
}

std::vector<EngineBatch::Settled> EngineBatch::recv(std::size_t min_ready,
                                                    Clock::time_point until) {
  for (;;) {
    take_mail();
    drive_held();
    if (settled_.size() >= std::min(min_ready, outstanding_) || Clock::now() >= until) break;
    wait_ready(until);
  }
  for (const Settled& s : settled_) slots_[s.index].outstanding = false;
  outstanding_ -= settled_.size();
  return std::exchange(settled_, {});
}

void EngineBatch::settle(std::size_t index, Result<Bytes> outcome, bool panicked) {
  settled_.push_back(Settled{index, std::move(outcome), panicked});
}

void EngineBatch::take_mail() {
  if (on_workers_ == 0) return;
  for (Settled& item : mailbox_->take()) {
    --on_workers_;
    settled_.push_back(std::move(item));
  }
}

void EngineBatch::drive_held() {
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    std::optional<HeldCall>& held = slots_[i].held;
    if (!held) continue;
    std::optional<Result<Bytes>> outcome;
    if (std::exchange(slots_[i].ready, false)) outcome = held->advance();
    if (!outcome) outcome = held->expire();
    if (!outcome) continue;
    held.reset();
    settle(i, std::move(*outcome));
  }
}

// Sleeps until a held call's socket is ready (which marks it for the next drive_held), a
// worker posts, the first deadline of a held call passes, or `until`.
void EngineBatch::wait_ready(Clock::time_point until) {
  fds_.clear();
  waiting_.clear();
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    const std::optional<HeldCall>& held = slots_[i].held;
    if (!held) continue;
    fds_.push_back({held->socket(), short(held->want_write() ? POLLOUT : POLLIN), 0});
    waiting_.push_back(i);
    until = std::min(until, held->deadline());
  }
  if (on_workers_ > 0) fds_.push_back({mailbox_->fd, POLLIN, 0});
  const auto left = std::max(until - Clock::now(), Clock::duration::zero());
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
  const timespec ts{static_cast<time_t>(secs.count()),
                    static_cast<long>(std::chrono::nanoseconds(left - secs).count())};
  if (::ppoll(fds_.data(), fds_.size(), &ts, nullptr) <= 0) return;
  for (std::size_t k = 0; k < waiting_.size(); ++k)
    slots_[waiting_[k]].ready = fds_[k].revents != 0;
}

}  // namespace pen::call
