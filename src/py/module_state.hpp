// The process-wide Python objects, in one place. The module's import builds every one of them
// before any other code of the module runs (module.cpp, init_state) and keeps them for the life
// of the process: the module is single-phase and serves the main interpreter only.
#pragma once

#include <Python.h>

#include <array>

namespace pen::py {

// The Python names and constant arguments of the call path, so that a call builds no strings
// or dicts of its own.
struct PyNames {
  PyObject* create_future = nullptr;
  PyObject* add_done_callback = nullptr;
  PyObject* cancelled = nullptr;
  PyObject* set_result = nullptr;
  PyObject* set_exception = nullptr;
  PyObject* call_soon_threadsafe = nullptr;
  PyObject* context_none = nullptr;  // {"context": None}, the keywords of call_soon_threadsafe
};

struct ModuleState {
  PyObject* module = nullptr;               // what every later import hands out again
  PyObject* panic_exception = nullptr;      // PanicException: a call's internal fault
  PyObject* native_panic = nullptr;         // NativePanic: a future's internal fault
  PyObject* rpc_transport_error = nullptr;  // RpcTransportError(RuntimeError)
  PyObject* rpc_error = nullptr;            // RpcError(RuntimeError): the UI's error reply
  PyObject* engine_type = nullptr;          // NativeEngineAsync
  PyObject* batch_type = nullptr;           // EngineBatch
  PyObject* done_callback_type = nullptr;   // PyDoneCallback
  PyObject* completor_type = nullptr;       // CheckedCompletor
  PyObject* get_running_loop = nullptr;     // asyncio.get_running_loop
  PyNames names;
  std::array<PyObject*, 256> byte_values{};  // the ints 0..255 of encode_*_py's lists
};

inline ModuleState& module_state() {
  static ModuleState state;
  return state;
}

}  // namespace pen::py
