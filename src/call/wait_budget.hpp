// WaitBudget: how long the caller's thread may wait on the socket for a reply, learned per
// engine from the calls that waited.
//
// A UI that answers within microseconds (a native peer on this machine) gets a budget of a few
// times its usual answer time. A UI that keeps answering later than the budget (a browser page,
// about a millisecond; a UI that runs on the caller's own event loop and cannot answer while
// the caller waits) stops the waiting after two misses in a row: the caller then only sends,
// and tries a wait again after 8 calls, then 16, and so on up to every 64th call, so that
// such a UI costs almost nothing beyond the call path without any wait, while a fast UI that
// a burst of load elsewhere slowed down for a moment gets the wait back within 64 calls.
#pragma once

#include <chrono>
#include <mutex>

namespace pen::call {

class WaitBudget {
 public:
  using Duration = std::chrono::nanoseconds;
  static constexpr Duration SHORTEST = std::chrono::microseconds(100);
  static constexpr Duration LONGEST = std::chrono::microseconds(400);
  static constexpr unsigned MISSES_TO_PAUSE = 2;
  static constexpr unsigned FIRST_PAUSE = 8;  // calls without a wait after the misses
  static constexpr unsigned LAST_PAUSE = 64;

  // The wait the next call may spend; zero when it should only send.
  Duration next();
  // The reply came `took` after the request was handed to the socket, within the budget.
  void hit(Duration took);
  // The budget ran out before the reply came.
  void miss();

 private:
  std::mutex mutex_;
  Duration budget_ = LONGEST;
  Duration usual_{0};  // a moving average of the answer time of the hits
  unsigned misses_ = 0;
  unsigned skip_ = 0;
  unsigned pause_ = FIRST_PAUSE;
};

}  // namespace pen::call
