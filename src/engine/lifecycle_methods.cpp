// The methods that send no request: start(), wait_connected(), close(), the async context
// manager over start() and close(), and the bound address.
#include <optional>

#include "call/engine_shared.hpp"
#include "engine/engine_object.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/py_ref.hpp"
#include "server/listener.hpp"

namespace pen::engine {
namespace net = boost::asio;
namespace {

net::awaitable<Result<Bytes>> as_reply(net::awaitable<std::optional<EngineError>> op) {
  if (auto error = co_await std::move(op)) co_return std::move(*error);
  co_return Bytes{};
}

// The two links between start()'s future and the one __aenter__ returns; both are bound to the
// tuple (entered, started, engine). Their results are ignored by asyncio.
PyObject* relay_started(PyObject* state, PyObject* started) {
  PyObject* entered = PyTuple_GetItem(state, 0);
  py::Ref done(PyObject_CallMethod(entered, "done", nullptr));
  if (!done) return nullptr;
  if (PyObject_IsTrue(done.get())) Py_RETURN_NONE;  // cancelled meanwhile
  py::Ref cancelled(PyObject_CallMethod(started, "cancelled", nullptr));
  if (!cancelled) return nullptr;
  if (PyObject_IsTrue(cancelled.get())) return PyObject_CallMethod(entered, "cancel", nullptr);
  py::Ref error(PyObject_CallMethod(started, "exception", nullptr));
  if (!error) return nullptr;
  if (error.get() != Py_None)
    return PyObject_CallMethod(entered, "set_exception", "(O)", error.get());
  return PyObject_CallMethod(entered, "set_result", "(O)", PyTuple_GetItem(state, 2));
}

PyObject* cancel_start(PyObject* state, PyObject* entered) {
  py::Ref cancelled(PyObject_CallMethod(entered, "cancelled", nullptr));
  if (!cancelled) return nullptr;
  if (PyObject_IsTrue(cancelled.get()))
    return PyObject_CallMethod(PyTuple_GetItem(state, 1), "cancel", nullptr);
  Py_RETURN_NONE;
}

PyMethodDef relay_started_def = {"relay_started", relay_started, METH_O, nullptr};
PyMethodDef cancel_start_def = {"cancel_start", cancel_start, METH_O, nullptr};

// (address, port) of the most recent listener, or None.
PyObject* bound_value(PyObject* self, bool with_address) {
  auto local = as_engine(self)->shared->lifecycle.bound();
  if (!local) Py_RETURN_NONE;
  if (!with_address) return PyLong_FromLong(local->port());
  return Py_BuildValue("(sH)", local->address().to_string().c_str(), local->port());
}

PyObject* method_start(PyObject* self, PyObject*) {
  const EngineObject* engine = as_engine(self);
  return bridge::start_async_call(
      engine->shared, as_reply(server::start_listener(engine->shared, engine->host, engine->port)),
      bridge::reply_to_none);
}

PyObject* method_wait_connected(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"timeout_secs", false}};
  PyObject* a[1];
  if (!py::bind_args("NativeEngineAsync.wait_connected", params, args, kwargs, a)) return nullptr;
  std::optional<Timeout> timeout;
  if (a[0]) {
    double secs;
    Timeout t;
    if (!py::timeout_number(a[0], 0.0, secs) || !py::timeout_duration(secs, t)) return nullptr;
    timeout = t;
  }
  const auto& shared = as_engine(self)->shared;
  return bridge::start_async_call(shared, as_reply(call::wait_connected(shared, timeout)),
                                  bridge::reply_to_none);
}

PyObject* method_close(PyObject* self, PyObject*) {
  const auto& shared = as_engine(self)->shared;
  return bridge::start_async_call(shared, as_reply(call::close_engine(shared)),
                                  bridge::reply_to_none);
}

PyObject* method_aenter(PyObject* self, PyObject*) {
  py::Ref started(method_start(self, nullptr));
  if (!started) return nullptr;
  py::Ref loop(PyObject_CallMethod(started.get(), "get_loop", nullptr));
  py::Ref entered(loop ? PyObject_CallMethod(loop.get(), "create_future", nullptr) : nullptr);
  py::Ref state(entered ? PyTuple_Pack(3, entered.get(), started.get(), self) : nullptr);
  py::Ref relay(state ? PyCFunction_New(&relay_started_def, state.get()) : nullptr);
  py::Ref cancel(relay ? PyCFunction_New(&cancel_start_def, state.get()) : nullptr);
  py::Ref linked(cancel
                     ? PyObject_CallMethod(started.get(), "add_done_callback", "(O)", relay.get())
                     : nullptr);
  if (linked)
    linked = py::Ref(PyObject_CallMethod(entered.get(), "add_done_callback", "(O)", cancel.get()));
  if (!linked) {
    // start() is already under way: let it go on, as a start() whose future is dropped does.
    return nullptr;
  }
  return entered.release();
}

PyObject* method_aexit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {
      {"exc_type", true}, {"exc_value", true}, {"traceback", true}};
  PyObject* a[3];
  if (!py::bind_args("NativeEngineAsync.__aexit__", params, args, kwargs, a)) return nullptr;
  return method_close(self, nullptr);
}

PyObject* get_bound_port(PyObject* self, void*) { return bound_value(self, false); }
PyObject* get_bound_address(PyObject* self, void*) { return bound_value(self, true); }

// Each docstring starts with the signature line, from which Python derives __text_signature__.
const PyMethodDef kMethods[] = {
    {"start", method_start, METH_NOARGS, "start($self)\n--\n\n"},
    {"wait_connected", py::with_keywords<method_wait_connected>(), kArgs,
     "wait_connected($self, timeout_secs=None)\n--\n\n"},
};

// After the other methods in the table: close() and the async context manager.
const PyMethodDef kClosingMethods[] = {
    {"close", method_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Stops every accept loop of the engine (closing its listening sockets), ends the opening\n"
     "handshakes in progress and closes the installed UI connection; resolves to None. A call\n"
     "waiting for its reply fails with RuntimeError \"RpcTransportError(seq=Some(S),\n"
     "fnId=Some(F)): websocket closed\" (a call queued behind it with the transport error of\n"
     "its step), later calls with \"RpcTransportError(seq=None, fnId=Some(F)): no websocket\n"
     "connected\". Pending wait_connected() calls keep waiting: a later start() and a UI that\n"
     "connects resolve them, or their own time-out or cancellation ends them. start() may bind\n"
     "again afterwards. Idempotent; never fails."},
    {"__aenter__", method_aenter, METH_NOARGS,
     "__aenter__($self)\n--\n\n"
     "Awaits start() and resolves to the engine itself:\n"
     "async with NativeEngineAsync(host, port) as engine: ..."},
    {"__aexit__", py::with_keywords<method_aexit>(), kArgs,
     "__aexit__($self, exc_type, exc_value, traceback)\n--\n\n"
     "Awaits close() and resolves to None, so an exception raised in the block propagates."},
};

PyObject* get_sync_wait(PyObject* self, void*) {
  return PyBool_FromLong(as_engine(self)->shared->sync_wait.load());
}

int set_sync_wait(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyBool_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "sync_wait must be True or False");
    return -1;
  }
  as_engine(self)->shared->sync_wait = value == Py_True;
  return 0;
}

PyGetSetDef kProperties[] = {
    {"bound_port", get_bound_port, nullptr,
     "Port of the listening socket of the most recent successful start() (the one the system\n"
     "chose when the port is 0), or None before start() and after close().",
     nullptr},
    {"bound_address", get_bound_address, nullptr,
     "(address, port) of the listening socket of the most recent successful start(), the\n"
     "address as text (\"127.0.0.1\", \"::1\"), or None before start() and after close().",
     nullptr},
    {"sync_wait", get_sync_wait, set_sync_wait,
     "True (the default): a call made while the engine's connection is idle, or soon is,\n"
     "sends its request and waits briefly for the reply on the calling thread, with the\n"
     "interpreter lock released, and returns a future that is already done when the reply came\n"
     "in time; a UI that is slow to answer ends these waits by itself. False: every call is\n"
     "handed to the engine's background worker and the calling thread never waits on the\n"
     "socket.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

std::span<const PyMethodDef> lifecycle_methods() { return kMethods; }
std::span<const PyMethodDef> closing_methods() { return kClosingMethods; }
PyGetSetDef* engine_properties() { return kProperties; }

}  // namespace pen::engine
