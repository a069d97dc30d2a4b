#include "module/codec_functions.hpp"

#include <array>

#include "codec/payload.hpp"
#include "py/byte_list.hpp"
#include "numpy/numpy_convert.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"

namespace pen::py {
namespace {

constexpr Param kPayload[] = {{"payload", true}};

// Binds the single `payload` argument and views its bytes in place.
bool payload_argument(const char* fname, PyObject* args, PyObject* kwargs, ByteView& out) {
  PyObject* payload = nullptr;
  if (!bind_args(fname, kPayload, args, kwargs, {&payload, 1})) return false;
  if (!PyBytes_Check(payload)) {
    raise_cannot_convert(payload, "PyBytes");
    reraise_argument_error("payload");
    return false;
  }
  const char* data = PyBytes_AsString(payload);
  if (data == nullptr) return false;
  out = as_bytes_view(data, static_cast<std::size_t>(PyBytes_Size(payload)));
  return true;
}

// Decodes `payload` with `decode` and converts the value with `to_python`.
template <class Decode, class ToPython>
PyObject* decode_payload(const char* fname, PyObject* args, PyObject* kwargs, Decode decode,
                         ToPython to_python) {
  ByteView payload;
  if (!payload_argument(fname, args, kwargs, payload)) return nullptr;
  auto decoded = decode(payload);
  if (!decoded) {
    set_engine_error(decoded.error());
    return nullptr;
  }
  return to_python(decoded.value());
}

PyObject* decode_vec_f64_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return decode_payload("decode_vec_f64_py", args, kwargs, codec::decode_vec_f64,
                        vec_f64_to_array);
}

PyObject* decode_mat_f64_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return decode_payload("decode_mat_f64_py", args, kwargs, codec::decode_mat_f64,
                        mat_f64_to_array);
}

PyObject* decode_close_step_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return decode_payload("decode_close_step_py", args, kwargs, codec::decode_close_step,
                        close_step_to_tuple);
}

PyObject* decode_vec_mat_f64_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return decode_payload("decode_vec_mat_f64_py", args, kwargs, codec::decode_vec_mat_f64,
                        vec_mat_f64_to_tuple);
}

struct ArrayParam {
  int ndim;
  int typenum;
};

// Binds the array parameters, checks each (type, dimensions, element type) from left to
// right, then the contiguity of all of them in the same order.
template <std::size_t N>
bool array_arguments(const char* fname, const Param (&params)[N],
                     const ArrayParam (&wanted)[N], PyObject* args, PyObject* kwargs,
                     PyArrayObject* (&out)[N]) {
  PyObject* objects[N] = {};
  if (!bind_args(fname, params, args, kwargs, objects)) return false;
  for (std::size_t i = 0; i < N; ++i) {
    if (!check_array(objects[i], wanted[i].ndim, wanted[i].typenum, out[i])) {
      reraise_argument_error(params[i].name);
      return false;
    }
  }
  for (PyArrayObject* array : out) {
    if (!check_contiguous(array)) return false;
  }
  return true;
}

PyObject* payload_to_list(bool encoded, const Bytes& payload) {
  return encoded ? bytes_to_int_list(payload) : nullptr;
}

PyObject* encode_vec_f64_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Param params[] = {{"arr", true}};
  static constexpr ArrayParam wanted[] = {{1, NPY_DOUBLE}};
  PyArrayObject* arrays[1];
  if (!array_arguments("encode_vec_f64_py", params, wanted, args, kwargs, arrays)) return nullptr;
  Bytes payload;
  return payload_to_list(encode_vec_from_array(arrays[0], payload), payload);
}

PyObject* encode_mat_f64_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Param params[] = {{"mat", true}};
  static constexpr ArrayParam wanted[] = {{2, NPY_DOUBLE}};
  PyArrayObject* arrays[1];
  if (!array_arguments("encode_mat_f64_py", params, wanted, args, kwargs, arrays)) return nullptr;
  Bytes payload;
  return payload_to_list(encode_mat_from_array(arrays[0], payload), payload);
}

PyObject* encode_close_step_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Param params[] = {{"flags", true}, {"actions", true}, {"ratios", true}};
  static constexpr ArrayParam wanted[] = {{1, NPY_INT}, {1, NPY_INT}, {1, NPY_DOUBLE}};
  PyArrayObject* arrays[3];
  if (!array_arguments("encode_close_step_py", params, wanted, args, kwargs, arrays)) {
    return nullptr;
  }
  Bytes payload;
  return payload_to_list(encode_close_step_from_arrays(arrays[0], arrays[1], arrays[2], payload),
                         payload);
}

constexpr int kCallConvention = METH_VARARGS | METH_KEYWORDS;

PyMethodDef codec_defs[] = {
    {"decode_vec_f64_py", with_keywords<decode_vec_f64_py>(), kCallConvention,
     "decode_vec_f64_py(payload)\n--\n\n"
     "Decode VecF64 payload into numpy.ndarray(float64, shape=(n,))"},
    {"decode_mat_f64_py", with_keywords<decode_mat_f64_py>(), kCallConvention,
     "decode_mat_f64_py(payload)\n--\n\n"
     "Decode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"},
    {"decode_close_step_py", with_keywords<decode_close_step_py>(), kCallConvention,
     "decode_close_step_py(payload)\n--\n\n"
     "Decode CloseStep payload into tuple(flags, actions, ratios) as numpy arrays."},
    {"decode_vec_mat_f64_py", with_keywords<decode_vec_mat_f64_py>(), kCallConvention,
     "decode_vec_mat_f64_py(payload)\n--\n\n"
     "Decode VecF64 + MatF64 payload into (vec, mat)."},
    {"encode_vec_f64_py", with_keywords<encode_vec_f64_py>(), kCallConvention,
     "encode_vec_f64_py(arr)\n--\n\n"},
    {"encode_mat_f64_py", with_keywords<encode_mat_f64_py>(), kCallConvention,
     "encode_mat_f64_py(mat)\n--\n\n"},
    {"encode_close_step_py", with_keywords<encode_close_step_py>(), kCallConvention,
     "encode_close_step_py(flags, actions, ratios)\n--\n\n"},
};

}  // namespace

std::span<PyMethodDef> codec_function_defs() { return codec_defs; }

}  // namespace pen::py
