// AsyncMutex<T>: a first-come-first-served asynchronous lock over a value of type T.
//
// `async_lock` completes with (error_code, Guard). The guard is the lock: it travels inside the
// completion, so a hand-off to a waiter whose coroutine was cancelled (or destroyed) after the
// hand-off still ends in a Guard destructor that passes the lock on. A waiter cancelled while
// still queued leaves the queue and completes with operation_aborted and an empty guard.
//
// Thread-safe. A waiter's cancellation must be emitted on the executor it waits on (the usual
// Asio rule for cancellation slots); an engine runs everything on its one worker thread anyway.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <utility>

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/system/error_code.hpp>

namespace pen::call {

template <class T>
class AsyncMutex {
 public:
  class Guard {
   public:
    Guard() = default;
    Guard(Guard&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
    Guard& operator=(Guard&& other) noexcept {
      if (this != &other) {
        unlock();
        owner_ = std::exchange(other.owner_, nullptr);
      }
      return *this;
    }
    ~Guard() { unlock(); }

    explicit operator bool() const noexcept { return owner_ != nullptr; }
    T& operator*() const noexcept { return owner_->value_; }
    T* operator->() const noexcept { return &owner_->value_; }

    // Releases early; the next waiter (if any) receives the lock.
    void unlock() {
      if (auto* m = std::exchange(owner_, nullptr)) m->release();
    }

   private:
    friend class AsyncMutex;
    explicit Guard(AsyncMutex* owner) noexcept : owner_(owner) {}
    AsyncMutex* owner_ = nullptr;
  };

  explicit AsyncMutex(T value = T{}) : value_(std::move(value)) {}
  AsyncMutex(const AsyncMutex&) = delete;
  AsyncMutex& operator=(const AsyncMutex&) = delete;

  template <class Token>
  auto async_lock(Token&& token) {
    return boost::asio::async_initiate<Token, void(boost::system::error_code, Guard)>(
        [this](auto handler) { start_waiting(std::move(handler)); }, token);
  }

  // The guard at once if the lock is free, else an empty guard. Never queues, so a thread that
  // is not an executor (the caller's thread in the call path) may use it.
  Guard try_lock() {
    std::lock_guard lock(mu_);
    if (locked_) return Guard();
    locked_ = true;
    return Guard(this);
  }

  // Number of queued waiters; for tests and diagnostics.
  std::size_t waiting() const {
    std::lock_guard lock(mu_);
    return waiters_.size();
  }

 private:
  struct Waiter {
    virtual ~Waiter() = default;
    virtual void complete(boost::system::error_code ec, Guard guard) = 0;
    typename std::list<std::shared_ptr<Waiter>>::iterator pos;
    bool queued = false;
  };

  template <class Handler>
  struct WaiterFor final : Waiter {
    explicit WaiterFor(Handler h)
        : work(boost::asio::prefer(boost::asio::get_associated_executor(h),
                                   boost::asio::execution::outstanding_work.tracked)),
          handler(std::move(h)) {}

    // Always posted: a completion never runs inside lock() or a Guard destructor.
    void complete(boost::system::error_code ec, Guard guard) override {
      auto ex = boost::asio::get_associated_executor(handler);
      boost::asio::post(ex, [h = std::move(handler), ec, g = std::move(guard)]() mutable {
        std::move(h)(ec, std::move(g));
      });
    }

    decltype(boost::asio::prefer(std::declval<boost::asio::associated_executor_t<Handler>>(),
                                 boost::asio::execution::outstanding_work.tracked)) work;
    Handler handler;
  };

  // Installed in the waiter's cancellation slot. A waiter already handed the lock is no longer
  // queued, so a late cancellation finds nothing to do and the guard stays with the handler.
  struct CancelWaiter {
    AsyncMutex* mutex;
    std::weak_ptr<Waiter> waiter;
    void operator()(boost::asio::cancellation_type_t type) {
      if (type == boost::asio::cancellation_type::none) return;
      if (auto w = waiter.lock()) mutex->cancel(w);
    }
  };

  template <class Handler>
  void start_waiting(Handler handler) {
    auto slot = boost::asio::get_associated_cancellation_slot(handler);
    auto waiter = std::make_shared<WaiterFor<Handler>>(std::move(handler));
    // Installed before the waiter becomes visible to other threads, which may hand it the
    // lock (and complete it) at once; the weak reference makes a late call harmless.
    if (slot.is_connected()) slot.template emplace<CancelWaiter>(this, waiter);
    bool acquired = false;
    {
      std::lock_guard lock(mu_);
      if (!locked_) {
        locked_ = acquired = true;
      } else {
        waiter->pos = waiters_.insert(waiters_.end(), waiter);
        waiter->queued = true;
      }
    }
    if (acquired) waiter->complete({}, Guard(this));
  }

  void cancel(const std::shared_ptr<Waiter>& w) {
    {
      std::lock_guard lock(mu_);
      if (!w->queued) return;
      waiters_.erase(w->pos);
      w->queued = false;
    }
    w->complete(boost::asio::error::operation_aborted, Guard());
  }

  void release() {
    std::shared_ptr<Waiter> next;
    {
      std::lock_guard lock(mu_);
      if (waiters_.empty()) {
        locked_ = false;
        return;
      }
      next = std::move(waiters_.front());
      waiters_.pop_front();
      next->queued = false;
    }
    next->complete({}, Guard(this));
  }

  mutable std::mutex mu_;
  bool locked_ = false;
  std::list<std::shared_ptr<Waiter>> waiters_;
  T value_;
};

}  // namespace pen::call
