#include "bridge/callback_types.hpp"

#include <boost/asio/post.hpp>

#include "bridge/py_names.hpp"
#include "py/py_ref.hpp"

namespace pen::bridge {
namespace net = boost::asio;
namespace {

struct DoneCallbackObject {
  PyObject_HEAD CancelSender* sender;  // given up after one use
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

// The PyType_Spec of a callable that only the bridge creates.
constexpr PyType_Spec callable_spec(const char* name, std::size_t size, PyType_Slot* slots) {
  return {name, static_cast<int>(size), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
          slots};
}

PyType_Spec done_callback_spec = callable_spec("py_engine_native.PyDoneCallback",
                                               sizeof(DoneCallbackObject), done_callback_slots);

PyType_Slot completor_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(completor_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {0, nullptr},
};

PyType_Spec completor_spec = callable_spec("py_engine_native.CheckedCompletor",
                                           sizeof(CompletorObject), completor_slots);

PyObject* alloc_instance(PyTypeObject* tp) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  return alloc(tp, 0);
}

}  // namespace

void CancelSender::fire() {
  net::post(executor, [signal = signal] { signal->emit(net::cancellation_type::terminal); });
}

PyObject* new_done_callback(CancelSender sender) {
  auto* tp = reinterpret_cast<PyTypeObject*>(py::module_state().done_callback_type);
  PyObject* self = alloc_instance(tp);
  if (!self) return nullptr;
  reinterpret_cast<DoneCallbackObject*>(self)->sender = new CancelSender(std::move(sender));
  return self;
}

PyObject* new_checked_completor() {
  return alloc_instance(reinterpret_cast<PyTypeObject*>(py::module_state().completor_type));
}

PyObject* native_panic_type() { return py::module_state().native_panic; }

int future_cancelled(PyObject* fut) {
  py::Ref r(PyObject_CallMethodObjArgs(fut, py_names()->cancelled, nullptr));
  return r ? PyObject_IsTrue(r.get()) : -1;
}

bool init_bridge_state(py::ModuleState& state) {
  state.native_panic = PyErr_NewException("py_engine_native.NativePanic", PyExc_Exception, nullptr);
  state.done_callback_type = PyType_FromSpec(&done_callback_spec);
  state.completor_type = PyType_FromSpec(&completor_spec);
  py::PyNames& n = state.names;
  n.create_future = PyUnicode_InternFromString("create_future");
  n.add_done_callback = PyUnicode_InternFromString("add_done_callback");
  n.cancelled = PyUnicode_InternFromString("cancelled");
  n.set_result = PyUnicode_InternFromString("set_result");
  n.set_exception = PyUnicode_InternFromString("set_exception");
  n.call_soon_threadsafe = PyUnicode_InternFromString("call_soon_threadsafe");
  n.context_none = Py_BuildValue("{s:O}", "context", Py_None);
  py::Ref asyncio(PyImport_ImportModule("asyncio"));
  state.get_running_loop = asyncio ? PyObject_GetAttrString(asyncio.get(), "get_running_loop")
                                   : nullptr;
  return state.native_panic && state.done_callback_type && state.completor_type &&
         n.create_future && n.add_done_callback && n.cancelled && n.set_result && n.set_exception &&
         n.call_soon_threadsafe && n.context_none && state.get_running_loop;
}

}  // namespace pen::bridge
