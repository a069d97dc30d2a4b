#include "bridge/async_call.hpp"

#include <exception>
#include <system_error>
#include <utility>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>

#include "bridge/callback_types.hpp"
#include "bridge/exit_gate.hpp"
#include "bridge/py_names.hpp"
#include "call/rpc.hpp"
#include "py/errors.hpp"
#include "py/py_ref.hpp"
#include "server/runtime.hpp"

namespace pen::bridge {
namespace net = boost::asio;
namespace {

// asyncio.get_running_loop, looked up once per process.
PyObject* get_running_loop_fn() {
  static PyObject* fn = nullptr;
  if (!fn) {
    PyObject* asyncio = PyImport_ImportModule("asyncio");
    if (!asyncio) return nullptr;
    fn = PyObject_GetAttrString(asyncio, "get_running_loop");
    Py_DECREF(asyncio);
  }
  return fn;
}

// Builds the Python exception instance for an outcome that is not a result; nullptr with an
// exception set if even that fails.
PyObject* fetch_exception_instance() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
}

// Delivers one outcome to the future from a worker thread (GIL held): checks fut.cancelled(),
// then schedules CheckedCompletor(fut, complete, value) on the loop.
void deliver(PyObject* loop, PyObject* fut, bool is_result, PyObject* value) {
  int cancelled = future_cancelled(fut);
  if (cancelled < 0) {
    PyErr_PrintEx(1);
    cancelled = 0;
  }
  if (cancelled) return;

  const PyNames* n = py_names();  // made by the call that started this work
  py::Ref complete(PyObject_GetAttr(fut, is_result ? n->set_result : n->set_exception));
  py::Ref completor(complete ? new_checked_completor() : nullptr);
  py::Ref schedule(completor ? PyObject_GetAttr(loop, n->call_soon_threadsafe) : nullptr);
  py::Ref args(schedule ? PyTuple_Pack(4, completor.get(), fut, complete.get(), value) : nullptr);
  py::Ref handle(args ? PyObject_Call(schedule.get(), args.get(), n->context_none) : nullptr);
  if (!handle) PyErr_PrintEx(1);  // the loop is closed or broken: the future stays pending
}

// The work's completion handler, run on the engine's worker.
struct Completion {
  PyRef loop;
  PyRef fut;
  ReplyConverter convert;
  std::shared_ptr<net::cancellation_signal> signal;  // outlives the work's cancellation slot

  void operator()(const std::exception_ptr& failure, Result<Bytes> outcome) {
    GateEntry gate;
    if (!gate.python_alive()) {
      loop.release();  // the interpreter is gone: drop everything without touching it
      fut.release();
      return;
    }
    PyGILState_STATE g = PyGILState_Ensure();
    PyObject* value = nullptr;
    bool is_result = false;
    if (failure) {
      value = PyObject_CallFunction(native_panic_type(), "s",
                                    "native future panicked: unknown error");
    } else {
      value = outcome_value(std::move(outcome), convert, is_result);
    }
    if (value) {
      deliver(loop.get(), fut.get(), is_result, value);
      Py_DECREF(value);
    } else {
      PyErr_PrintEx(1);
    }
    // Release the loop and the future while the GIL is still held.
    Py_DECREF(loop.release());
    Py_DECREF(fut.release());
    PyGILState_Release(g);
  }
};

// The running loop and a new future on it, or false with an exception set.
bool new_future(const PyNames* n, py::Ref& loop, py::Ref& fut) {
  PyObject* get_loop = n ? get_running_loop_fn() : nullptr;
  if (!get_loop) return false;
  loop = py::Ref(PyObject_CallNoArgs(get_loop));
  if (!loop) return false;
  fut = py::Ref(PyObject_CallMethodObjArgs(loop.get(), n->create_future, nullptr));
  return static_cast<bool>(fut);
}

// Links the future's cancellation to `work`, runs `work` on the engine's worker and returns the
// future, whose completion the worker schedules on the loop.
PyObject* spawn_work(const std::shared_ptr<call::EngineShared>& shared, py::Ref loop, py::Ref fut,
                     net::awaitable<Result<Bytes>> work, ReplyConverter convert) {
  const PyNames* n = py_names();
  auto signal = std::make_shared<net::cancellation_signal>();
  py::Ref callback(new_done_callback(CancelSender{shared->executor, signal}));
  if (!callback) return nullptr;
  py::Ref added(
      PyObject_CallMethodObjArgs(fut.get(), n->add_done_callback, callback.get(), nullptr));
  if (!added) return nullptr;

  if (!ensure_runtime()) return nullptr;
  PyObject* result = Py_NewRef(fut.get());
  auto slot = signal->slot();
  // The completion runs on the engine's worker too, right after the work: one thread carries
  // the whole call, with no hand-off to wake another.
  net::co_spawn(shared->executor, std::move(work),
                net::bind_cancellation_slot(
                    slot, Completion{PyRef::steal(loop.release()), PyRef::steal(fut.release()),
                                     convert, std::move(signal)}));
  return result;
}

}  // namespace

PyObject* reply_to_none(Bytes&&) { Py_RETURN_NONE; }

bool ensure_runtime() {
  try {
    server::runtime::ensure_running();
  } catch (const std::system_error& e) {
    PyErr_Format(PyExc_RuntimeError, "could not start the background runtime: %s", e.what());
    return false;
  }
  return true;
}

PyObject* outcome_value(Result<Bytes>&& outcome, ReplyConverter convert, bool& is_result) {
  is_result = false;
  if (!outcome.ok()) return py::engine_error_to_exception(outcome.error());
  PyObject* value = convert(std::move(outcome).value());
  is_result = value != nullptr;
  return value ? value : fetch_exception_instance();
}

PyObject* start_async_call(const std::shared_ptr<call::EngineShared>& shared,
                           net::awaitable<Result<Bytes>> work, ReplyConverter convert) {
  // References that stay on this thread are plain ones; only the loop and the future travel
  // to the worker, and they become PyRefs when they do.
  py::Ref loop, fut;
  if (!new_future(py_names(), loop, fut)) return nullptr;
  return spawn_work(shared, std::move(loop), std::move(fut), std::move(work), convert);
}

PyObject* start_remote_call(const std::shared_ptr<call::EngineShared>& shared, std::uint16_t fn_id,
                            Bytes payload, const Timeout& timeout, ReplyConverter convert) {
  const PyNames* n = py_names();
  py::Ref loop, fut;
  if (!new_future(n, loop, fut)) return nullptr;
  call::CallStart started;
  PyThreadState* released = PyEval_SaveThread();  // the wait on the socket runs without the GIL
  started = call::start_call(shared, fn_id, std::move(payload), timeout);
  PyEval_RestoreThread(released);
  if (started.rest) {
    return spawn_work(shared, std::move(loop), std::move(fut), std::move(*started.rest), convert);
  }
  // Settled on this thread, which runs the loop: the future is completed before it is returned.
  bool is_result;
  py::Ref value(outcome_value(std::move(*started.done), convert, is_result));
  if (!value) return nullptr;
  py::Ref set(PyObject_CallMethodObjArgs(fut.get(), is_result ? n->set_result : n->set_exception,
                                         value.get(), nullptr));
  return set ? fut.release() : nullptr;
}

}  // namespace pen::bridge
