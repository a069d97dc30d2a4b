#include "py/errors.hpp"

#include "py/module_state.hpp"
#include "py/py_ref.hpp"

namespace pen::py {

PyObject* new_panic_exception_type() {
  return PyErr_NewExceptionWithDoc(
      "py_engine_native.PanicException",
      "Raised by a call that fails with an internal fault; the message is the only argument.",
      PyExc_BaseException, nullptr);
}

void raise_panic(const std::string& message) {
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  PyErr_SetObject(module_state().panic_exception, text.get());
}

PyObject* engine_error_to_exception(const EngineError& error) {
  const std::string text = error.text();
  Ref message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return nullptr;
  PyObject* type = error.kind == ErrorKind::InvalidData ? PyExc_ValueError : PyExc_RuntimeError;
  return PyObject_CallFunctionObjArgs(type, message.get(), nullptr);
}

void set_engine_error(const EngineError& error) {
  Ref exception(engine_error_to_exception(error));
  if (!exception) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

}  // namespace pen::py
