// Module entry of py_engine_native. Python surface:
//
//   class NativeEngineAsync(host, port, start_seq=None)     # engine, methods return futures
//   def decode_vec_f64_py(payload) -> ndarray[float64, (n,)]
//   def decode_mat_f64_py(payload) -> ndarray[float64, (rows, cols)]
//   def decode_close_step_py(payload) -> (flags int32, actions int32, ratios float64)
//   def decode_vec_mat_f64_py(payload) -> (vec, mat)
//   def encode_vec_f64_py(arr) -> list[int]
//   def encode_mat_f64_py(mat) -> list[int]
//   def encode_close_step_py(flags, actions, ratios) -> list[int]
//   __all__ = the eight names above, in this order
//   class RpcTransportError(RuntimeError), class RpcError(RuntimeError)   # outside __all__
//   class EngineBatch(engines)      # outside __all__: one call on each of a group of engines
#include <cstddef>
#include <cstring>
#include <string>

#include "bridge/callback_types.hpp"
#include "bridge/exit_gate.hpp"
#include "codec/payload.hpp"
#include "engine/batch_object.hpp"
#include "engine/engine_object.hpp"
#include "numpy/numpy_convert.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/module_state.hpp"
#include "py/py_ref.hpp"

namespace pen::module {
namespace {

using py::Ref;

// The seven module-level codec functions: decode_*_py (bytes -> arrays) and encode_*_py
// (arrays -> list of int).

// Payload bytes as a new list of int (0..255), or nullptr with an exception set. The list
// shares the 256 int objects made at import: one reference increment per byte.
PyObject* bytes_to_int_list(ByteView bytes) {
  const auto& values = py::module_state().byte_values;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(bytes.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    PyObject* item = values[static_cast<unsigned char>(bytes[i])];
    Py_INCREF(item);
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals the reference
  }
  return list;
}

constexpr py::Param kPayload[] = {{"payload", true}};

// Binds the single `payload` argument and views its bytes in place.
bool payload_argument(const char* fname, PyObject* args, PyObject* kwargs, ByteView& out) {
  PyObject* payload = nullptr;
  if (!py::bind_args(fname, kPayload, args, kwargs, {&payload, 1})) return false;
  if (!PyBytes_Check(payload)) {
    py::raise_cannot_convert(payload, "PyBytes");
    py::reraise_argument_error("payload");
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
    py::set_engine_error(decoded.error());
    return nullptr;
  }
  return to_python(decoded.value());
}

// decode_*_py(payload): FNAME's payload decoded with DECODE, converted with TO_PYTHON.
template <const char* FNAME, auto DECODE, auto TO_PYTHON>
PyObject* decode_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return decode_payload(FNAME, args, kwargs, DECODE, TO_PYTHON);
}

constexpr char kDecodeVec[] = "decode_vec_f64_py";
constexpr char kDecodeMat[] = "decode_mat_f64_py";
constexpr char kDecodeCloseStep[] = "decode_close_step_py";
constexpr char kDecodeVecMat[] = "decode_vec_mat_f64_py";

struct ArrayParam {
  int ndim;
  int typenum;
};

// Binds the array parameters, checks each (type, dimensions, element type) from left to
// right, then the contiguity of all of them in the same order.
template <std::size_t N>
bool array_arguments(const char* fname, const py::Param (&params)[N], const ArrayParam (&wanted)[N],
                     PyObject* args, PyObject* kwargs, PyArrayObject* (&out)[N]) {
  PyObject* objects[N] = {};
  if (!py::bind_args(fname, params, args, kwargs, objects)) return false;
  for (std::size_t i = 0; i < N; ++i) {
    if (!numpy::check_array(objects[i], wanted[i].ndim, wanted[i].typenum, out[i])) {
      py::reraise_argument_error(params[i].name);
      return false;
    }
  }
  for (PyArrayObject* array : out) {
    if (!numpy::check_contiguous(array)) return false;
  }
  return true;
}

PyObject* payload_to_list(bool encoded, const Bytes& payload) {
  return encoded ? bytes_to_int_list(payload) : nullptr;
}

// encode_vec_f64_py(arr) and encode_mat_f64_py(mat): one float64 array of NDIM dimensions.
template <const char* FNAME, const py::Param& PARAM, int NDIM,
          bool (*ENCODE)(PyArrayObject*, Bytes&)>
PyObject* encode_f64_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {PARAM};
  static constexpr ArrayParam wanted[] = {{NDIM, NPY_DOUBLE}};
  PyArrayObject* arrays[1];
  if (!array_arguments(FNAME, params, wanted, args, kwargs, arrays)) return nullptr;
  Bytes payload;
  return payload_to_list(ENCODE(arrays[0], payload), payload);
}

constexpr char kEncodeVec[] = "encode_vec_f64_py";
constexpr char kEncodeMat[] = "encode_mat_f64_py";
constexpr py::Param kArr{"arr", true};
constexpr py::Param kMat{"mat", true};
constexpr auto encode_vec_f64_py = encode_f64_py<kEncodeVec, kArr, 1, numpy::encode_vec_from_array>;
constexpr auto encode_mat_f64_py = encode_f64_py<kEncodeMat, kMat, 2, numpy::encode_mat_from_array>;

PyObject* encode_close_step_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"flags", true}, {"actions", true}, {"ratios", true}};
  static constexpr ArrayParam wanted[] = {{1, NPY_INT}, {1, NPY_INT}, {1, NPY_DOUBLE}};
  PyArrayObject* arrays[3];
  if (!array_arguments("encode_close_step_py", params, wanted, args, kwargs, arrays)) {
    return nullptr;
  }
  Bytes payload;
  const bool encoded = numpy::encode_close_step_from_arrays(arrays[0], arrays[1], arrays[2],
                                                            payload);
  return payload_to_list(encoded, payload);
}

// A table entry whose name is its docstring's signature line up to "(".
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyMethodDef function_entry(const char* doc) {
  static const std::string name(doc, std::strchr(doc, '(') - doc);
  return {name.c_str(), py::with_keywords<F>(), METH_VARARGS | METH_KEYWORDS, doc};
}

// In registration order; the function objects refer to this table for the life of the process.
PyMethodDef kCodecFunctions[] = {
    function_entry<decode_py<kDecodeVec, codec::decode_vec_f64, numpy::vec_f64_to_array>>(
        "decode_vec_f64_py(payload)\n--\n\n"
        "Decode VecF64 payload into numpy.ndarray(float64, shape=(n,))"),
    function_entry<decode_py<kDecodeMat, codec::decode_mat_f64, numpy::mat_f64_to_array>>(
        "decode_mat_f64_py(payload)\n--\n\n"
        "Decode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"),
    function_entry<
        decode_py<kDecodeCloseStep, codec::decode_close_step, numpy::close_step_to_tuple>>(
        "decode_close_step_py(payload)\n--\n\n"
        "Decode CloseStep payload into tuple(flags, actions, ratios) as numpy arrays."),
    function_entry<
        decode_py<kDecodeVecMat, codec::decode_vec_mat_f64, numpy::vec_mat_f64_to_tuple>>(
        "decode_vec_mat_f64_py(payload)\n--\n\n"
        "Decode VecF64 + MatF64 payload into (vec, mat)."),
    function_entry<encode_vec_f64_py>("encode_vec_f64_py(arr)\n--\n\n"),
    function_entry<encode_mat_f64_py>("encode_mat_f64_py(mat)\n--\n\n"),
    function_entry<encode_close_step_py>("encode_close_step_py(flags, actions, ratios)\n--\n\n"),
};

// Builds every process-wide Python object (py::ModuleState) once, before anything uses one.
bool init_state() {
  py::ModuleState& state = py::module_state();
  for (std::size_t i = 0; i < state.byte_values.size(); ++i) {
    state.byte_values[i] = PyLong_FromLong(static_cast<long>(i));
    if (state.byte_values[i] == nullptr) return false;
  }
  state.panic_exception = py::new_panic_exception_type();
  if (state.panic_exception == nullptr || !py::new_rpc_exception_types()) return false;
  state.engine_type = engine::new_engine_type();
  state.batch_type = state.engine_type ? engine::new_batch_type() : nullptr;
  return state.batch_type != nullptr && bridge::init_bridge_state(state);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "py_engine_native",            // m_name
    "Bindery module entrypoint.",  // m_doc
    0,                             // m_size: no per-module state
    nullptr,                       // m_methods: functions are added as attributes
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The engine's background threads and cached objects are process-wide and cannot serve a
// second interpreter; only the main one (id 0) may import the module.
bool in_main_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()) == 0; }

// Sets module.<name> = value and appends name to __all__ (creating the list if missing).
bool add_exported(PyObject* module, const char* name, PyObject* value) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref text(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, value) == 0;
}

PyObject* create_module() {
  Ref module(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
  if (!module) return nullptr;

  PyObject* type = py::module_state().engine_type;
  if (!add_exported(module.get(), "NativeEngineAsync", type)) return nullptr;
  // Beside the exported names, not among them.
  if (PyObject_SetAttrString(module.get(), "EngineBatch", py::module_state().batch_type) < 0)
    return nullptr;

  Ref module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef& def : kCodecFunctions) {
    Ref function(PyCFunction_NewEx(&def, module.get(), module_name.get()));
    if (!function || !add_exported(module.get(), def.ml_name, function.get())) return nullptr;
  }
  // The failure kinds of a call, for `except`; attributes, not exported names.
  const py::ModuleState& state = py::module_state();
  if (PyObject_SetAttrString(module.get(), "RpcTransportError", state.rpc_transport_error) < 0 ||
      PyObject_SetAttrString(module.get(), "RpcError", state.rpc_error) < 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace pen::module

PyMODINIT_FUNC PyInit_py_engine_native(void) {
  using namespace pen::module;
  if (!in_main_interpreter()) {
    PyErr_SetString(PyExc_ImportError,
                    "py_engine_native does not support subinterpreters: import it in the main "
                    "interpreter only");
    return nullptr;
  }
  // Single-phase module: a repeated initialisation (import after del sys.modules[...])
  // hands out the module made the first time.
  PyObject*& the_module = pen::py::module_state().module;
  if (the_module != nullptr) return Py_NewRef(the_module);

  if (!pen::numpy::import_numpy() || !init_state()) return nullptr;
  // Background threads must stop touching Python before the interpreter finalises.
  if (!pen::bridge::install_exit_hook()) return nullptr;
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  the_module = Py_NewRef(module);
  return module;
}
