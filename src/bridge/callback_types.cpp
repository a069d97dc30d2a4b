#include "bridge/callback_types.hpp"

#include <boost/asio/post.hpp>

#include "bridge/py_names.hpp"

namespace pen::bridge {
namespace net = boost::asio;
namespace {

struct DoneCallbackObject {
  PyObject_HEAD
  CancelSender* sender;  // given up after one use
};

struct CompletorObject {
  PyObject_HEAD
};

// PyDoneCallback(fut): run by the loop when the future is done; a cancelled future cancels
// the work.
PyObject* done_callback_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* fut = nullptr;
  if (kwargs && PyDict_Size(kwargs) != 0) {
    PyErr_SetString(PyExc_TypeError, "PyDoneCallback() takes no keyword arguments");
    return nullptr;
  }
  if (!PyArg_UnpackTuple(args, "PyDoneCallback", 1, 1, &fut)) return nullptr;
  int cancelled = future_cancelled(fut);
  if (cancelled < 0) {
    PyErr_PrintEx(1);
    Py_RETURN_NONE;
  }
  auto* cb = reinterpret_cast<DoneCallbackObject*>(self);
  if (cancelled && cb->sender) {
    CancelSender* sender = cb->sender;
    cb->sender = nullptr;
    sender->fire();
    delete sender;
  }
  Py_RETURN_NONE;
}

// Frees an instance of one of these heap types and drops its reference to the type.
void free_instance(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

void done_callback_dealloc(PyObject* self) {
  auto* cb = reinterpret_cast<DoneCallbackObject*>(self);
  delete cb->sender;
  cb->sender = nullptr;
  free_instance(self);
}

// CheckedCompletor(fut, complete, value): runs on the loop's thread; never completes a future
// that was cancelled meanwhile.
PyObject* completor_call(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *fut = nullptr, *complete = nullptr, *value = nullptr;
  if (kwargs && PyDict_Size(kwargs) != 0) {
    PyErr_SetString(PyExc_TypeError, "CheckedCompletor() takes no keyword arguments");
    return nullptr;
  }
  if (!PyArg_UnpackTuple(args, "CheckedCompletor", 3, 3, &fut, &complete, &value)) return nullptr;
  int cancelled = future_cancelled(fut);
  if (cancelled < 0) return nullptr;
  if (!cancelled) {
    PyObject* r = PyObject_CallFunctionObjArgs(complete, value, nullptr);
    if (!r) return nullptr;
    Py_DECREF(r);
  }
  Py_RETURN_NONE;
}

PyType_Slot done_callback_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(done_callback_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(done_callback_dealloc)},
    {0, nullptr},
};

PyType_Spec done_callback_spec = {
    .name = "py_engine_native.PyDoneCallback",
    .basicsize = sizeof(DoneCallbackObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = done_callback_slots,
};

PyType_Slot completor_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(completor_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {0, nullptr},
};

PyType_Spec completor_spec = {
    .name = "py_engine_native.CheckedCompletor",
    .basicsize = sizeof(CompletorObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = completor_slots,
};

// Types are created once per process, on first use, and kept for its lifetime.
PyTypeObject* lazy_type(PyObject*& cache, PyType_Spec& spec) {
  if (!cache) cache = PyType_FromSpec(&spec);
  return reinterpret_cast<PyTypeObject*>(cache);
}

PyObject* alloc_instance(PyTypeObject* tp) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  return alloc(tp, 0);
}

}  // namespace

void CancelSender::fire() {
  net::post(executor, [signal = signal] { signal->emit(net::cancellation_type::terminal); });
}

PyObject* new_done_callback(CancelSender sender) {
  static PyObject* type = nullptr;
  PyTypeObject* tp = lazy_type(type, done_callback_spec);
  if (!tp) return nullptr;
  PyObject* self = alloc_instance(tp);
  if (!self) return nullptr;
  reinterpret_cast<DoneCallbackObject*>(self)->sender = new CancelSender(std::move(sender));
  return self;
}

PyObject* new_checked_completor() {
  static PyObject* type = nullptr;
  PyTypeObject* tp = lazy_type(type, completor_spec);
  return tp ? alloc_instance(tp) : nullptr;
}

PyObject* native_panic_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyErr_NewException("py_engine_native.NativePanic", PyExc_Exception, nullptr);
  return type;
}

}  // namespace pen::bridge
