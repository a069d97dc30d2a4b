// The process-wide background runtime: one io_context run by one thread per available CPU.
// Created on first use and never destroyed, so it outlives every engine and the interpreter.
#pragma once

#include <boost/asio/io_context.hpp>

namespace pen::runtime {

// The context itself; creating it starts no thread.
boost::asio::io_context& context();

// Starts the worker threads once. Throws std::system_error when no thread can be started
// (the caller reports it; the process goes on).
void ensure_running();

// Stops the workers and waits for them; for the interpreter's exit, after which nothing in the
// process may run background work any more.
void shut_down_for_exit();

// CPUs this process may use: its affinity mask, capped by a cgroup CPU quota; at least 1.
unsigned available_cpus();

}  // namespace pen::runtime
