#include "call/wait_budget.hpp"

#include <algorithm>

namespace pen::call {

WaitBudget::Duration WaitBudget::next() {
  std::lock_guard lock(mutex_);
  if (skip_ > 0) {
    --skip_;
    return Duration::zero();
  }
  return budget_;
}

void WaitBudget::hit(Duration took) {
  std::lock_guard lock(mutex_);
  usual_ = usual_ == Duration::zero() ? took : (7 * usual_ + took) / 8;
  budget_ = std::clamp(4 * usual_, SHORTEST, LONGEST);
  misses_ = 0;
  pause_ = FIRST_PAUSE;
}

void WaitBudget::miss() {
  std::lock_guard lock(mutex_);
  if (++misses_ < MISSES_TO_PAUSE) return;
  skip_ = pause_;
  pause_ = std::min(2 * pause_, LAST_PAUSE);
  misses_ = MISSES_TO_PAUSE - 1;  // after the pause, one more miss pauses again
}

}  // namespace pen::call
