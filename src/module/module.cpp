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
#define PEN_NUMPY_IMPORT
#include "numpy/numpy_api.hpp"

#include "bridge/exit_gate.hpp"
#include "module/codec_functions.hpp"
#include "engine/engine_object.hpp"
#include "py/py_ref.hpp"

namespace pen::py {

bool import_numpy() { return _import_array() >= 0; }

namespace {

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

  PyObject* type = engine_type();
  if (type == nullptr || !add_exported(module.get(), "NativeEngineAsync", type)) return nullptr;

  Ref module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef& def : codec_function_defs()) {
    Ref function(PyCFunction_NewEx(&def, module.get(), module_name.get()));
    if (!function || !add_exported(module.get(), def.ml_name, function.get())) return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace pen::py

PyMODINIT_FUNC PyInit_py_engine_native(void) {
  using namespace pen::py;
  if (!in_main_interpreter()) {
    PyErr_SetString(PyExc_ImportError,
                    "py_engine_native does not support subinterpreters: import it in the main "
                    "interpreter only");
    return nullptr;
  }
  // Single-phase module: a repeated initialisation (import after del sys.modules[...])
  // hands out the module made the first time.
  static PyObject* the_module = nullptr;
  if (the_module != nullptr) return Py_NewRef(the_module);

  if (!import_numpy()) return nullptr;
  // Background threads must stop touching Python before the interpreter finalises.
  if (!pen::bridge::install_exit_hook()) return nullptr;
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  the_module = Py_NewRef(module);
  return module;
}
