#include "engine/reply_converters.hpp"

#include "codec/payload.hpp"
#include "numpy/numpy_convert.hpp"
#include "py/errors.hpp"
#include "py/py_ref.hpp"

namespace pen::engine {

PyObject* reply_u32(Bytes&& payload) {
  std::uint32_t v = payload.size() >= 4 ? load_le<std::uint32_t>(payload.data()) : 0;
  return PyLong_FromUnsignedLong(v);
}

PyObject* reply_text(Bytes&& payload) {
  PyObject* s = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(payload.data()),
                                     static_cast<Py_ssize_t>(payload.size()), "strict");
  if (s || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return s;
  PyErr_Clear();
  return PyUnicode_FromString("{}");
}

PyObject* reply_sync_policy(Bytes&& payload) {
  if (!payload.empty()) {
    switch (std::to_integer<int>(payload[0])) {
      case 0: return PyUnicode_FromString("deferred");
      case 1: return PyUnicode_FromString("eager");
    }
  }
  Py_RETURN_NONE;
}

namespace {

// Decodes the payload with `decode` and converts the view with `convert`, which may take the
// payload too (the view refers into it); a malformed payload becomes the future's ValueError.
template <class View, Result<View> (*decode)(ByteView), class Convert>
PyObject* decoded(Bytes&& payload, Convert convert) {
  auto view = decode(payload);
  if (!view) {
    py::set_engine_error(view.error());
    return nullptr;
  }
  return convert(view.value());
}

}  // namespace

PyObject* reply_vec(Bytes&& payload) {
  return decoded<codec::VecF64View, codec::decode_vec_f64>(std::move(payload),
                                                           numpy::vec_f64_to_array);
}

// The array keeps the payload and views its elements.
PyObject* reply_mat(Bytes&& payload) {
  return decoded<codec::MatF64View, codec::decode_mat_f64>(
      std::move(payload), [&payload](const codec::MatF64View& mat) {
        return numpy::mat_f64_to_owning_array(mat, std::move(payload));
      });
}

// The matrix comes first here, the reverse of decode_vec_mat_f64_py's (vec, mat).
PyObject* reply_mat_vec(Bytes&& payload) {
  auto vm = codec::decode_vec_mat_f64(payload);
  if (!vm) {
    py::set_engine_error(vm.error());
    return nullptr;
  }
  py::Ref mat(numpy::mat_f64_to_array(vm.value().mat));
  py::Ref vec(mat ? numpy::vec_f64_to_array(vm.value().vec) : nullptr);
  return vec ? PyTuple_Pack(2, mat.get(), vec.get()) : nullptr;
}

}  // namespace pen::engine
