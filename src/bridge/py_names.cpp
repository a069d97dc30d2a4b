#include "bridge/py_names.hpp"

namespace pen::bridge {

const PyNames* py_names() {
  static PyNames names{};
  static bool made = false;
  if (made) return &names;
  names.create_future = PyUnicode_InternFromString("create_future");
  names.add_done_callback = PyUnicode_InternFromString("add_done_callback");
  names.cancelled = PyUnicode_InternFromString("cancelled");
  names.set_result = PyUnicode_InternFromString("set_result");
  names.set_exception = PyUnicode_InternFromString("set_exception");
  names.call_soon_threadsafe = PyUnicode_InternFromString("call_soon_threadsafe");
  names.context_none = Py_BuildValue("{s:O}", "context", Py_None);
  made = names.create_future && names.add_done_callback && names.cancelled &&
         names.set_result && names.set_exception && names.call_soon_threadsafe &&
         names.context_none;
  return made ? &names : nullptr;  // a failed attempt leaks a few strings and tries again
}

int future_cancelled(PyObject* fut) {
  const PyNames* n = py_names();
  if (!n) return -1;
  PyObject* r = PyObject_CallMethodObjArgs(fut, n->cancelled, nullptr);
  if (!r) return -1;
  int c = PyObject_IsTrue(r);
  Py_DECREF(r);
  return c;
}

}  // namespace pen::bridge
