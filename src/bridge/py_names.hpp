// The Python names and constant arguments of the call path, made once per process so that a
// call builds no strings or dicts of its own.
#pragma once

#include <Python.h>

namespace pen::bridge {

struct PyNames {
  PyObject* create_future;
  PyObject* add_done_callback;
  PyObject* cancelled;
  PyObject* set_result;
  PyObject* set_exception;
  PyObject* call_soon_threadsafe;
  PyObject* context_none;  // {"context": None}, the keywords of call_soon_threadsafe
};

// GIL held. nullptr with an exception set if they cannot be made.
const PyNames* py_names();

// fut.cancelled() as 1 or 0; -1 with an exception set.
int future_cancelled(PyObject* fut);

}  // namespace pen::bridge
