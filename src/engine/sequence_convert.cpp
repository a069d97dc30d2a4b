#include "engine/sequence_convert.hpp"

#include "py/convert.hpp"
#include "py/py_ref.hpp"

namespace pen::engine {
namespace {

bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (PySequence_Check(obj)) return true;
  py::Ref qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!qualname) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", qualname.get());
  return false;
}

template <class T, class Convert>
bool read_sequence(PyObject* obj, std::vector<T>& out, Convert convert) {
  if (!check_sequence(obj)) return false;
  // The reported length only sizes the first allocation; a failing query is ignored.
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(hint));
  }
  py::Ref it(PyObject_GetIter(obj));
  if (!it) return false;
  while (py::Ref item{PyIter_Next(it.get())}) {
    T v;
    if (!convert(item.get(), v)) return false;
    out.push_back(v);
  }
  return !PyErr_Occurred();
}

}  // namespace

bool sequence_of_i32(PyObject* obj, std::vector<std::int32_t>& out) {
  return read_sequence(obj, out, py::to_i32);
}

bool sequence_of_f64(PyObject* obj, std::vector<double>& out) {
  return read_sequence(obj, out, py::to_f64);
}

}  // namespace pen::engine
