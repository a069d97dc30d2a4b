#include "py/errors.hpp"

#include <initializer_list>
#include <optional>

#include "py/module_state.hpp"
#include "py/py_ref.hpp"

namespace pen::py {
namespace {

// A RuntimeError subclass whose attributes `names` default to None on the class.
PyObject* new_rpc_type(const char* name, const char* doc,
                       std::initializer_list<const char*> names) {
  Ref attributes(PyDict_New());
  if (!attributes) return nullptr;
  for (const char* attribute : names) {
    if (PyDict_SetItemString(attributes.get(), attribute, Py_None) < 0) return nullptr;
  }
  return PyErr_NewExceptionWithDoc(name, doc, PyExc_RuntimeError, attributes.get());
}

// Sets exception.<name> = value, None when absent; false with an exception set on failure.
template <class T>
bool set_number(PyObject* exception, const char* name, std::optional<T> value) {
  Ref number(value ? PyLong_FromUnsignedLong(*value) : Py_NewRef(Py_None));
  return number && PyObject_SetAttrString(exception, name, number.get()) == 0;
}

PyObject* with_numbers(Ref exception, const EngineError& error) {
  if (!exception || !set_number(exception.get(), "seq", error.seq) ||
      !set_number(exception.get(), "fn_id", error.fn_id)) {
    return nullptr;
  }
  if (error.kind == ErrorKind::RpcError &&
      (!set_number(exception.get(), "err", std::optional{error.err}) ||
       !set_number(exception.get(), "sub", std::optional{error.sub}))) {
    return nullptr;
  }
  return exception.release();
}

}  // namespace

PyObject* new_panic_exception_type() {
  return PyErr_NewExceptionWithDoc(
      "py_engine_native.PanicException",
      "Raised by a call that fails with an internal fault; the message is the only argument.",
      PyExc_BaseException, nullptr);
}

bool new_rpc_exception_types() {
  ModuleState& state = module_state();
  state.rpc_transport_error = new_rpc_type(
      "py_engine_native.RpcTransportError",
      "A call failed in transport or protocol (no UI connected, a send or receive failure, a\n"
      "time-out, a reply that does not match its request). `seq` and `fn_id` are the call's\n"
      "numbers, None where the call never got one.",
      {"seq", "fn_id"});
  if (state.rpc_transport_error == nullptr) return false;
  state.rpc_error = new_rpc_type(
      "py_engine_native.RpcError",
      "The UI answered a call with an error reply: `seq` and `fn_id` of the call, the UI's\n"
      "`err` and `sub` codes; the text ends with the UI's message.",
      {"seq", "fn_id", "err", "sub"});
  return state.rpc_error != nullptr;
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
  switch (error.kind) {
    case ErrorKind::InvalidData:
      return PyObject_CallFunctionObjArgs(PyExc_ValueError, message.get(), nullptr);
    case ErrorKind::RpcError:
      return with_numbers(
          Ref(PyObject_CallFunctionObjArgs(module_state().rpc_error, message.get(), nullptr)),
          error);
    case ErrorKind::RpcTransportError:
      return with_numbers(Ref(PyObject_CallFunctionObjArgs(module_state().rpc_transport_error,
                                                           message.get(), nullptr)),
                          error);
  }
  return nullptr;
}

void set_engine_error(const EngineError& error) {
  Ref exception(engine_error_to_exception(error));
  if (!exception) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

}  // namespace pen::py
