#include "py/convert.hpp"

#include <limits>
#include <variant>

#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/py_ref.hpp"

namespace pen::py {
namespace {

// Reads the integer value as a C long (64-bit here), then narrows with a range check.
template <class T>
bool to_integer(PyObject* obj, T& out) {
  static_assert(sizeof(T) < sizeof(long));
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < static_cast<long>(std::numeric_limits<T>::min()) ||
      value > static_cast<long>(std::numeric_limits<T>::max())) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<T>(value);
  return true;
}

}  // namespace

bool to_f64(PyObject* obj, double& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_u16(PyObject* obj, std::uint16_t& out) { return to_integer(obj, out); }
bool to_u32(PyObject* obj, std::uint32_t& out) { return to_integer(obj, out); }
bool to_i32(PyObject* obj, std::int32_t& out) { return to_integer(obj, out); }

std::string type_qualname(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  const char* text = name && PyUnicode_Check(name.get())
                         ? PyUnicode_AsUTF8AndSize(name.get(), nullptr)
                         : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<unknown>";
  }
  return text;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  const std::string type = type_qualname(obj);
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type.c_str(), target);
}

bool to_utf8(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool timeout_number(PyObject* obj_or_null, double default_secs, double& secs) {
  if (obj_or_null == nullptr) {
    secs = default_secs;
    return true;
  }
  return named_arg(obj_or_null, "timeout_secs", secs, to_f64);
}

bool timeout_duration(double secs, Timeout& out) {
  auto converted = timeout_from_secs(secs);
  if (auto* refusal = std::get_if<std::string>(&converted)) {
    raise_panic(*refusal);
    return false;
  }
  out = std::get<Timeout>(converted);
  return true;
}

}  // namespace pen::py
