#include "bridge/runtime.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>

namespace pen::runtime {
namespace net = boost::asio;
namespace {

struct Runtime {
  net::io_context context{};
  std::mutex start_mutex;
  std::vector<std::thread> workers;
  std::optional<net::executor_work_guard<net::io_context::executor_type>> keep_alive;
};

// Leaked on purpose: worker threads may still run while the process tears down statics.
Runtime& instance() {
  static Runtime* rt = new Runtime();
  return *rt;
}

// CPU quota of the process's cgroup, as a whole number of CPUs, or 0 when unlimited.
unsigned cgroup_cpu_limit() {
  double quota = -1, period = -1;
  if (std::ifstream v2("/sys/fs/cgroup/cpu.max"); v2) {
    std::string q;
    v2 >> q >> period;
    if (q != "max") quota = std::atof(q.c_str());
  } else {
    std::ifstream("/sys/fs/cgroup/cpu/cpu.cfs_quota_us") >> quota;
    std::ifstream("/sys/fs/cgroup/cpu/cpu.cfs_period_us") >> period;
  }
  if (quota <= 0 || period <= 0) return 0;
  return static_cast<unsigned>(std::max(1.0, std::ceil(quota / period)));
}

}  // namespace

net::io_context& context() { return instance().context; }

unsigned available_cpus() {
  unsigned n = std::max(1u, std::thread::hardware_concurrency());
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) n = std::max(1, CPU_COUNT(&set));
  if (unsigned limit = cgroup_cpu_limit(); limit > 0) n = std::min(n, limit);
  return n;
}

void ensure_running() {
  Runtime& rt = instance();
  std::lock_guard lock(rt.start_mutex);
  if (!rt.workers.empty()) return;
  rt.keep_alive.emplace(rt.context.get_executor());

  // Workers never handle signals: those belong to the interpreter's main thread.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  const unsigned n = available_cpus();
  std::system_error failure(std::error_code{});
  for (unsigned i = 0; i < n; ++i) {
    try {
      rt.workers.emplace_back([&ctx = rt.context] { ctx.run(); });
    } catch (const std::system_error& e) {
      failure = e;
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rt.workers.empty()) {
    rt.keep_alive.reset();
    throw failure;
  }
}

void shut_down_for_exit() {
  Runtime& rt = instance();
  std::lock_guard lock(rt.start_mutex);
  rt.context.stop();
  for (auto& t : rt.workers) {
    if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
  }
}

}  // namespace pen::runtime
