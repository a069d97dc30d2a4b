#define PEN_NUMPY_IMPORT
#include "numpy/numpy_convert.hpp"

#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/py_ref.hpp"

namespace pen::numpy {

bool import_numpy() { return _import_array() >= 0; }

namespace {

// A new C-contiguous array that owns its memory; the caller fills it in one copy.
PyObject* new_array(int ndim, npy_intp* dims, int typenum) {
  return PyArray_SimpleNew(ndim, dims, typenum);
}

template <class Run, class T>
PyObject* run_to_array(const Run& run, int typenum) {
  npy_intp dims[1] = {static_cast<npy_intp>(run.count)};
  PyObject* array = new_array(1, dims, typenum);
  if (array == nullptr) return nullptr;
  run.copy_to(static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))));
  return array;
}

std::string dtype_text(PyArray_Descr* descr) {
  py::Ref text(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<dtype>";
  }
  return utf8;
}

// The array's elements in memory order (the array is contiguous, possibly unaligned: the
// codec reads them bytewise).
template <class T>
std::span<const T> elements(PyArrayObject* array) {
  return {static_cast<const T*>(PyArray_DATA(array)),
          static_cast<std::size_t>(PyArray_SIZE(array))};
}

bool take_bytes(Result<Bytes>&& encoded, Bytes& out) {
  if (!encoded) {
    py::set_engine_error(encoded.error());
    return false;
  }
  out = std::move(encoded).value();
  return true;
}

}  // namespace

PyObject* vec_f64_to_array(const codec::VecF64View& vec) {
  return run_to_array<codec::F64Run, double>(vec.elements, NPY_DOUBLE);
}

PyObject* mat_f64_to_array(const codec::MatF64View& mat) {
  // No rows means no row length to take a width from: the array is (0, 0). A width of 0 with
  // rows gives (rows, 0), an empty array that keeps the row count.
  npy_intp dims[2] = {static_cast<npy_intp>(mat.rows),
                      mat.rows == 0 ? 0 : static_cast<npy_intp>(mat.cols)};
  PyObject* array = new_array(2, dims, NPY_DOUBLE);
  if (array == nullptr) return nullptr;
  mat.elements.copy_to(static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))));
  return array;
}

namespace {

constexpr const char* REPLY_CAPSULE = "py_engine_native.reply";

void free_reply(PyObject* capsule) { delete static_cast<Bytes*>(PyCapsule_GetContext(capsule)); }

// A capsule that owns `reply` (moved to the heap: its bytes stay where they are); its pointer
// is the reply's first byte.
PyObject* reply_owner(Bytes&& reply) {
  auto* owned = new Bytes(std::move(reply));
  PyObject* capsule = PyCapsule_New(owned->data(), REPLY_CAPSULE, free_reply);
  if (capsule == nullptr || PyCapsule_SetContext(capsule, owned) != 0) {
    Py_XDECREF(capsule);
    delete owned;
    return nullptr;
  }
  return capsule;
}

}  // namespace

PyObject* mat_f64_to_owning_array(const codec::MatF64View& mat, Bytes&& reply) {
  const std::size_t count = mat.elements.count;
  auto* data = const_cast<std::byte*>(mat.elements.data);
  // The elements are viewed where they lie when that is a valid float64 array: aligned, and not
  // empty (an empty reply has no bytes to own). Otherwise the layout forces the copy.
  if (count == 0 || reinterpret_cast<std::uintptr_t>(data) % alignof(double) != 0)
    return mat_f64_to_array(mat);
  npy_intp dims[2] = {static_cast<npy_intp>(mat.rows), static_cast<npy_intp>(mat.cols)};
  PyObject* owner = reply_owner(std::move(reply));
  if (owner == nullptr) return nullptr;
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_DOUBLE);
  PyObject* array = descr == nullptr ? nullptr
                                     : PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr,
                                                            data, NPY_ARRAY_CARRAY, nullptr);
  if (array == nullptr) {
    Py_DECREF(owner);
    return nullptr;
  }
  // Takes the owner's reference, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner) != 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

PyObject* vec_mat_f64_to_tuple(const codec::VecMatF64View& value) {
  py::Ref vec(vec_f64_to_array(value.vec));
  if (!vec) return nullptr;
  py::Ref mat(mat_f64_to_array(value.mat));
  if (!mat) return nullptr;
  return PyTuple_Pack(2, vec.get(), mat.get());
}

PyObject* close_step_to_tuple(const codec::CloseStepView& step) {
  static_assert(sizeof(int) == sizeof(std::int32_t), "NumPy's int32 is the C int here");
  py::Ref flags(run_to_array<codec::I32Run, std::int32_t>(step.flags, NPY_INT));
  if (!flags) return nullptr;
  py::Ref actions(run_to_array<codec::I32Run, std::int32_t>(step.actions, NPY_INT));
  if (!actions) return nullptr;
  py::Ref ratios(run_to_array<codec::F64Run, double>(step.ratios, NPY_DOUBLE));
  if (!ratios) return nullptr;
  return PyTuple_Pack(3, flags.get(), actions.get(), ratios.get());
}

bool check_array(PyObject* obj, int ndim, int typenum, PyArrayObject*& out) {
  if (!PyArray_Check(obj)) {
    py::raise_cannot_convert(obj, "PyArray<T, D>");
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != ndim) {
    const std::string message = "dimensionality mismatch:\n from=" +
                                std::to_string(PyArray_NDIM(array)) +
                                ", to=" + std::to_string(ndim);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  PyArray_Descr* wanted = PyArray_DescrFromType(typenum);
  if (wanted == nullptr) return false;
  py::Ref wanted_ref(reinterpret_cast<PyObject*>(wanted));
  if (!PyArray_EquivTypes(PyArray_DESCR(array), wanted)) {
    const std::string message = "type mismatch:\n from=" + dtype_text(PyArray_DESCR(array)) +
                                ", to=" + dtype_text(wanted);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  out = array;
  return true;
}

bool check_contiguous(PyArrayObject* array) {
  if (PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array)) return true;
  PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
  return false;
}

bool encode_vec_from_array(PyArrayObject* array, Bytes& out) {
  return take_bytes(codec::encode_vec_f64(elements<double>(array)), out);
}

bool encode_mat_from_array(PyArrayObject* array, Bytes& out) {
  const npy_intp* dims = PyArray_DIMS(array);
  // A matrix that is both (one row, one column, or empty) is read as row-major.
  const auto order = PyArray_IS_C_CONTIGUOUS(array) ? codec::MatOrder::RowMajor
                                                    : codec::MatOrder::ColumnMajor;
  return take_bytes(
      codec::encode_mat_f64(static_cast<std::uint64_t>(dims[0]),
                            static_cast<std::uint64_t>(dims[1]), elements<double>(array), order),
      out);
}

bool encode_close_step_from_arrays(PyArrayObject* flags, PyArrayObject* actions,
                                   PyArrayObject* ratios, Bytes& out) {
  return take_bytes(
      codec::encode_close_step(elements<std::int32_t>(flags), elements<std::int32_t>(actions),
                               elements<double>(ratios)),
      out);
}

}  // namespace pen::numpy
