// The small Python callables of the bridge: PyDoneCallback, CheckedCompletor, NativePanic.
#pragma once

#include <Python.h>

#include <memory>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/cancellation_signal.hpp>

#include "py/module_state.hpp"

namespace pen::bridge {

// The sending end of a call's one-shot cancel signal: emitted on the work's executor, since
// cancellation signals are not thread-safe.
struct CancelSender {
  boost::asio::any_io_executor executor;
  std::shared_ptr<boost::asio::cancellation_signal> signal;

  void fire();
};

// A new PyDoneCallback owning `sender`; nullptr with an exception set on failure.
PyObject* new_done_callback(CancelSender sender);

// A new CheckedCompletor.
PyObject* new_checked_completor();

// The NativePanic class (borrowed, from ModuleState).
PyObject* native_panic_type();

// Makes the bridge's part of ModuleState: NativePanic, the two callable types, the call path's
// names and asyncio.get_running_loop. Called once, by the import; false with an exception set.
bool init_bridge_state(py::ModuleState& state);

}  // namespace pen::bridge
