// The process-wide background runtime: one worker thread per available CPU, each running an
// I/O context of its own. An engine lives on one of them (chosen round-robin), so all of its
// work runs on one thread, in order, without locks or cross-thread hand-offs; engines on
// different workers run in parallel. Created on first use and never destroyed, so it outlives
// every engine and the interpreter.
#pragma once

#include <boost/asio/any_io_executor.hpp>

namespace pen::server::runtime {

// The executor of the worker that a new engine should live on. Creates the runtime's contexts
// on first use (starting no thread).
boost::asio::any_io_executor next_engine_executor();

// Starts the worker threads once. Throws std::system_error when no thread can be started
// (the caller reports it; the process goes on).
void ensure_running();

// Stops the workers and waits for them; for the interpreter's exit, after which nothing in the
// process may run background work any more.
void shut_down_for_exit();

// CPUs this process may use: its affinity mask, capped by a cgroup CPU quota; at least 1.
unsigned available_cpus();

}  // namespace pen::server::runtime
