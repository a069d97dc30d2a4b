// The runtime's worker count follows the CPUs this process may use.
#include <sched.h>

#include <thread>

#include <gtest/gtest.h>

#include "server/runtime.hpp"

namespace {

TEST(Runtime, CountsTheAffinityMask) {
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  const unsigned all = pen::server::runtime::available_cpus();
  EXPECT_GE(all, 1u);
  EXPECT_LE(all, static_cast<unsigned>(CPU_COUNT(&saved)));

  // Only the first CPU allowed: one worker.
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &saved)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_EQ(pen::server::runtime::available_cpus(), 1u);
  ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
  EXPECT_EQ(pen::server::runtime::available_cpus(), all);
}

}  // namespace
