#include "server/runtime.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace pen::server::runtime {
namespace net = boost::asio;
namespace {

// One worker: a context that only its own thread runs. The concurrency hint of 1 tells Asio
// so, which spares every hand-off the wake-up of another thread.
struct Worker {
  net::io_context context{1};
  std::optional<net::executor_work_guard<net::io_context::executor_type>> keep_alive;
  std::thread thread;
};

struct Runtime {
  explicit Runtime(unsigned n) {
    for (unsigned i = 0; i < n; ++i) workers.push_back(std::make_unique<Worker>());
  }

  std::vector<std::unique_ptr<Worker>> workers;
  std::atomic<unsigned> next{0};
  std::mutex start_mutex;
  bool started = false;  // every worker's thread runs
};

// Leaked on purpose: worker threads may still run while the process tears down statics.
Runtime& instance() {
  static Runtime* rt = new Runtime(available_cpus());
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

unsigned available_cpus() {
  unsigned n = std::max(1u, std::thread::hardware_concurrency());
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) n = std::max(1, CPU_COUNT(&set));
  if (unsigned limit = cgroup_cpu_limit(); limit > 0) n = std::min(n, limit);
  return n;
}

net::any_io_executor next_engine_executor() {
  Runtime& rt = instance();
  const unsigned i = rt.next.fetch_add(1) % rt.workers.size();
  return rt.workers[i]->context.get_executor();
}

void ensure_running() {
  Runtime& rt = instance();
  std::lock_guard lock(rt.start_mutex);
  if (rt.started) return;

  // Workers never handle signals: those belong to the interpreter's main thread.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  std::optional<std::system_error> failure;
  for (auto& w : rt.workers) {
    if (w->thread.joinable()) continue;  // started by an earlier, partly failed attempt
    try {
      w->keep_alive.emplace(w->context.get_executor());
      w->thread = std::thread([ctx = &w->context] { ctx->run(); });
    } catch (const std::system_error& e) {
      w->keep_alive.reset();
      failure = e;
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  // Every engine already has its worker, so all of them must run; a later call tries again.
  if (failure) throw *failure;
  rt.started = true;
}

void shut_down_for_exit() {
  Runtime& rt = instance();
  std::lock_guard lock(rt.start_mutex);
  for (auto& w : rt.workers) w->context.stop();
  for (auto& w : rt.workers) {
    if (w->thread.joinable() && w->thread.get_id() != std::this_thread::get_id()) w->thread.join();
  }
}

}  // namespace pen::server::runtime
