// An owning reference to a Python object: released on scope exit. Use only with the GIL held.
// (A reference that a worker thread may drop is bridge::PyRef, which passes the exit gate.)
#pragma once

#include <Python.h>

#include <utility>

namespace pen::py {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (or nullptr).
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace pen::py
