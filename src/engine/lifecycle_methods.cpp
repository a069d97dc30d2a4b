// The methods that send no request: start(), wait_connected(), close(), the async context
// manager over start() and close(), and the bound address.
#include <optional>

#include "bridge/async_call.hpp"
#include "engine/engine_methods.hpp"
#include "engine/engine_object.hpp"
#include "engine/remote_call.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/py_ref.hpp"
#include "ws/engine_shared.hpp"
#include "ws/rpc.hpp"

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
  if (error.get() != Py_None) return PyObject_CallMethod(entered, "set_exception", "(O)", error.get());
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
  auto local = py::as_engine(self)->shared->lifecycle.bound();
  if (!local) Py_RETURN_NONE;
  if (!with_address) return PyLong_FromLong(local->port());
  return Py_BuildValue("(sH)", local->address().to_string().c_str(), local->port());
}

}  // namespace

PyObject* method_start(PyObject* self, PyObject*) {
  const auto& shared = py::as_engine(self)->shared;
  return bridge::start_async_call(
      shared, as_reply(ws::start_listener(shared, py::as_engine(self)->host, py::as_engine(self)->port)),
      bridge::reply_to_none);
}

PyObject* method_wait_connected(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"timeout_secs", false}};
  PyObject* a[1];
  if (!py::bind_args("NativeEngineAsync.wait_connected", params, args, kwargs, a)) return nullptr;
  std::optional<ws::Timeout> timeout;
  if (a[0]) {
    double secs;
    ws::Timeout t;
    if (!py::timeout_number(a[0], 0.0, secs) || !py::timeout_duration(secs, t)) return nullptr;
    timeout = t;
  }
  const auto& shared = py::as_engine(self)->shared;
  return bridge::start_async_call(shared, as_reply(ws::wait_connected(shared, timeout)),
                                  bridge::reply_to_none);
}

PyObject* method_close(PyObject* self, PyObject*) {
  const auto& shared = py::as_engine(self)->shared;
  return bridge::start_async_call(shared, as_reply(ws::close_engine(shared)),
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
  py::Ref linked(cancel ? PyObject_CallMethod(started.get(), "add_done_callback", "(O)", relay.get())
                        : nullptr);
  if (linked) linked = py::Ref(PyObject_CallMethod(entered.get(), "add_done_callback", "(O)", cancel.get()));
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

}  // namespace pen::engine
