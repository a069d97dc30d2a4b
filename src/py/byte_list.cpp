#include "py/byte_list.hpp"

#include <array>

namespace pen::py {
namespace {

// The 256 int objects, made once and shared by every list: filling a list then costs one
// reference increment per byte instead of one integer construction.
const std::array<PyObject*, 256>* byte_values() {
  static std::array<PyObject*, 256> values{};
  static bool ready = false;
  if (!ready) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (values[i] == nullptr) values[i] = PyLong_FromLong(static_cast<long>(i));
      if (values[i] == nullptr) return nullptr;
    }
    ready = true;
  }
  return &values;
}

}  // namespace

PyObject* bytes_to_int_list(ByteView bytes) {
  const auto* values = byte_values();
  if (values == nullptr) return nullptr;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(bytes.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    PyObject* item = (*values)[static_cast<unsigned char>(bytes[i])];
    Py_INCREF(item);
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals the reference
  }
  return list;
}

}  // namespace pen::py
