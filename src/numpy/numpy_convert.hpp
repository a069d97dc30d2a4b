// Decoded payload values to NumPy arrays, and NumPy arrays to payload bytes. All functions
// need the GIL; those returning PyObject* give a new reference or nullptr with an exception set.
#pragma once

#include <Python.h>

// NumPy's C API, shared by every file of the module through one function table, which
// numpy_convert.cpp owns (it defines PEN_NUMPY_IMPORT before including this header) and
// import_numpy() fills; every other file only refers to it.
#define PY_ARRAY_UNIQUE_SYMBOL pen_numpy_api
#ifndef PEN_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "codec/bytes.hpp"
#include "codec/payload.hpp"

namespace pen::numpy {

// Loads NumPy's C API table, once, at import; false with ImportError (or NumPy's own error)
// set.
bool import_numpy();

// float64 array of shape (n,).
PyObject* vec_f64_to_array(const codec::VecF64View& vec);

// float64 array of shape (rows, cols); (0, 0) when rows is 0, and (rows, 0) when cols is 0.
PyObject* mat_f64_to_array(const codec::MatF64View& mat);

// The same array viewing the elements where they lie in `reply`, the payload they were decoded
// from, which the array takes and owns (its base is a capsule holding it): no copy. A copy as
// above when the elements are not 8-byte aligned or there are none.
PyObject* mat_f64_to_owning_array(const codec::MatF64View& mat, Bytes&& reply);

// (vec, mat): a plain 2-tuple of the two arrays above.
PyObject* vec_mat_f64_to_tuple(const codec::VecMatF64View& value);

// (flags, actions, ratios): int32, int32 and float64 arrays of shape (n,).
PyObject* close_step_to_tuple(const codec::CloseStepView& step);

// Checks, in this order, that obj is an ndarray (or subclass), that it has `ndim` dimensions
// and that its element type is equivalent to `typenum` (same kind, size and byte order). Each
// failure raises TypeError without an argument prefix:
//   "'{type}' object cannot be converted to 'PyArray<T, D>'"
//   "dimensionality mismatch:\n from={}, to={}"
//   "type mismatch:\n from={}, to={}"
// On success `out` is obj as an array (borrowed).
bool check_array(PyObject* obj, int ndim, int typenum, PyArrayObject*& out);

// True when the array is C- or Fortran-contiguous; otherwise raises TypeError
// "The given array is not contiguous".
bool check_contiguous(PyArrayObject* array);

// VecF64 payload of a checked, contiguous 1-D float64 array.
bool encode_vec_from_array(PyArrayObject* array, Bytes& out);

// MatF64 payload of a checked 2-D float64 array that is C- or Fortran-contiguous. The payload
// is row-major in both cases: a Fortran-ordered array is transposed while it is written.
// False with ValueError set on a codec refusal.
bool encode_mat_from_array(PyArrayObject* array, Bytes& out);

// CloseStep payload of three checked, contiguous 1-D arrays (int32, int32, float64).
// Unequal lengths raise ValueError "close_step shape mismatch: ...".
bool encode_close_step_from_arrays(PyArrayObject* flags, PyArrayObject* actions,
                                   PyArrayObject* ratios, Bytes& out);

}  // namespace pen::numpy
