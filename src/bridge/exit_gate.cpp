#include "bridge/exit_gate.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include "py/py_ref.hpp"
#include "server/runtime.hpp"

namespace pen::bridge {
namespace {

std::atomic<bool> g_alive{true};
std::atomic<int> g_inside{0};

// atexit hook: close the gate with the GIL released (a worker inside may be waiting for it),
// wait until no worker is inside, then stop the background threads.
PyObject* close_gate(PyObject*, PyObject*) {
  Py_BEGIN_ALLOW_THREADS g_alive.store(false);
  while (g_inside.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  server::runtime::shut_down_for_exit();
  Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_py_engine_native_exit", close_gate, METH_NOARGS, nullptr};

}  // namespace

GateEntry::GateEntry() noexcept {
  g_inside.fetch_add(1);
  alive_ = g_alive.load();
}

GateEntry::~GateEntry() { g_inside.fetch_sub(1); }

bool install_exit_hook() {
  static bool installed = false;
  if (installed) return true;
  py::Ref atexit(PyImport_ImportModule("atexit"));
  py::Ref hook(atexit ? PyCFunction_NewEx(&close_gate_def, nullptr, nullptr) : nullptr);
  py::Ref registered(hook ? PyObject_CallMethod(atexit.get(), "register", "O", hook.get())
                          : nullptr);
  if (!registered) return false;
  installed = true;
  return true;
}

PyRef& PyRef::operator=(PyRef&& other) noexcept {
  if (this != &other) {
    reset();
    obj_ = other.obj_;
    other.obj_ = nullptr;
  }
  return *this;
}

void PyRef::reset() noexcept {
  PyObject* o = obj_;
  obj_ = nullptr;
  if (!o) return;
  GateEntry gate;
  if (!gate.python_alive()) return;  // the interpreter is gone: leak
  PyGILState_STATE g = PyGILState_Ensure();
  Py_DECREF(o);
  PyGILState_Release(g);
}

}  // namespace pen::bridge
