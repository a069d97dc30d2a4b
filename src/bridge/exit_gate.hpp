// The gate between background threads and the interpreter.
//
// Worker threads outlive Python. Before a worker touches Python (takes the GIL, builds a result,
// releases a reference) it enters the gate; at interpreter exit a hook closes the gate, waits
// for the threads inside to leave, and from then on workers drop what they hold without
// touching Python (the references leak on purpose: the process is ending).
#pragma once

#include <Python.h>

namespace pen::bridge {

class GateEntry {
 public:
  GateEntry() noexcept;
  ~GateEntry();
  GateEntry(const GateEntry&) = delete;
  GateEntry& operator=(const GateEntry&) = delete;

  // True when Python may be touched for as long as this entry lives.
  bool python_alive() const noexcept { return alive_; }

 private:
  bool alive_;
};

// Registers the exit hook with Python's atexit (once per process). Returns false with an
// exception set on failure.
bool install_exit_hook();

// An owned reference that background code may drop on any thread: released under the GIL
// while Python lives, leaked after the gate has closed.
// Why not py::Ref: that one is dropped with the GIL already held and costs nothing more; this
// one must pass the exit gate, which lives here, above py, so py::Ref cannot use it.
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* o) noexcept {
    PyRef r;
    r.obj_ = o;
    return r;
  }
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(); }

  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept {
    PyObject* o = obj_;
    obj_ = nullptr;
    return o;
  }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  void reset() noexcept;

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace pen::bridge
