// The one argument binder of every callable: positional-or-keyword parameters, CPython's
// wording for binding errors, and the "argument '{}': {}" prefix for conversion errors.
#pragma once

#include <Python.h>

#include <span>

namespace pen::py {

struct Param {
  const char* name;
  bool required;
};

// Binds a call (args tuple, kwargs dict or nullptr) to `params`, all positional-or-keyword,
// in order. out[i] receives a borrowed reference, or nullptr when an optional parameter is
// omitted or given None. On a binding error sets TypeError and returns false. `fname` is the
// display name without parentheses, e.g. "NativeEngineAsync.place_order" or
// "decode_vec_f64_py".
//
// Checks run in this order: surplus positional arguments, then each keyword in the order
// given (non-str name, unknown name, value already given), then missing required ones.
bool bind_args(const char* fname, std::span<const Param> params, PyObject* args, PyObject* kwargs,
               std::span<PyObject*> out);

// A function taking (self, args, kwargs) as the PyCFunction of a METH_VARARGS | METH_KEYWORDS
// method table entry.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
constexpr PyCFunction with_keywords() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// If the pending exception is exactly TypeError, replaces it by
// TypeError("argument '{name}': {message}") whose __cause__ is the original's __cause__.
// Any other pending exception (OverflowError, UnicodeEncodeError, ...) is left unchanged.
void reraise_argument_error(const char* name);

}  // namespace pen::py
