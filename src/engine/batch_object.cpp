// EngineBatch(engines): send(ids, fn, timeout_secs), recv(min_ready, timeout_secs) and
// step_and_sync(timeout_secs). Every argument is checked before any request is sent.
#include "engine/batch_object.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bridge/batch_calls.hpp"
#include "codec/payload.hpp"
#include "engine/engine_object.hpp"
#include "engine/plain_method.hpp"
#include "numpy/numpy_convert.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/module_state.hpp"
#include "py/py_ref.hpp"

namespace pen::engine {
namespace {

using Clock = std::chrono::steady_clock;

struct BatchObject {
  PyObject_HEAD std::unique_ptr<call::EngineBatch> batch;
  // The method of each engine's outstanding call, nullptr where none is.
  std::vector<const PlainMethod*> pending;
  PyObject* engines;  // a tuple: the engine objects live as long as the batch
  bool busy;          // a method is inside the batch (its wait runs without the GIL)
};

BatchObject* as_batch(PyObject* self) { return reinterpret_cast<BatchObject*>(self); }

// The batch is driven by one thread at a time: a method called while another thread is in
// one is refused. Taken and checked with the GIL held.
class InUse {
 public:
  explicit InUse(BatchObject* b) : b_(b->busy ? nullptr : b) {
    if (b_) {
      b_->busy = true;
    } else {
      PyErr_SetString(PyExc_RuntimeError, "EngineBatch is in use by another thread");
    }
  }
  ~InUse() {
    if (b_) b_->busy = false;
  }
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;
  explicit operator bool() const { return b_ != nullptr; }

 private:
  BatchObject* b_;
};

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"engines", true}};
  PyObject* a[1];
  if (!py::bind_args("EngineBatch.__new__", params, args, kwargs, a)) return nullptr;
  py::Ref engines(PySequence_Tuple(a[0]));
  if (!engines) {
    py::reraise_argument_error("engines");
    return nullptr;
  }
  const Py_ssize_t n = PyTuple_Size(engines.get());
  auto* engine_type = reinterpret_cast<PyTypeObject*>(py::module_state().engine_type);
  std::vector<std::shared_ptr<call::EngineShared>> shared;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GetItem(engines.get(), i);
    if (!PyObject_TypeCheck(item, engine_type)) {
      py::raise_cannot_convert(item, "NativeEngineAsync");
      py::reraise_argument_error("engines");
      return nullptr;
    }
    shared.push_back(as_engine(item)->shared);
  }

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  BatchObject* b = as_batch(self);
  try {
    new (&b->batch) std::unique_ptr<call::EngineBatch>(new call::EngineBatch(std::move(shared)));
  } catch (const std::exception& e) {
    new (&b->batch) std::unique_ptr<call::EngineBatch>();
    new (&b->pending) std::vector<const PlainMethod*>();
    b->engines = nullptr;
    Py_DECREF(self);
    py::raise_panic(e.what());
    return nullptr;
  }
  new (&b->pending) std::vector<const PlainMethod*>(static_cast<std::size_t>(n), nullptr);
  b->engines = engines.release();
  b->busy = false;
  return self;
}

void batch_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  BatchObject* b = as_batch(self);
  // Calls still unanswered go to their engines' workers, which finish them without Python.
  using Batch = std::unique_ptr<call::EngineBatch>;
  b->batch.~Batch();
  using Pending = std::vector<const PlainMethod*>;
  b->pending.~Pending();
  Py_XDECREF(b->engines);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

Py_ssize_t batch_len(PyObject* self) {
  return static_cast<Py_ssize_t>(as_batch(self)->pending.size());
}

// `ids` (None: every engine) as indices, each in range, once, and not outstanding.
bool read_ids(BatchObject* b, PyObject* ids, std::vector<std::size_t>& out) {
  const std::size_t n = b->pending.size();
  if (ids == nullptr) {
    for (std::size_t i = 0; i < n; ++i) out.push_back(i);
  } else {
    py::Ref it(PyObject_GetIter(ids));
    if (!it) {
      py::reraise_argument_error("ids");
      return false;
    }
    while (py::Ref item{PyIter_Next(it.get())}) {
      py::Ref index(PyNumber_Index(item.get()));
      const Py_ssize_t i = index ? PyLong_AsSsize_t(index.get()) : -1;
      if (i == -1 && PyErr_Occurred()) {
        py::reraise_argument_error("ids");
        return false;
      }
      if (i < 0 || static_cast<std::size_t>(i) >= n) {
        PyErr_Format(PyExc_ValueError, "id %zd is out of range for a batch of %zu engines", i, n);
        return false;
      }
      out.push_back(static_cast<std::size_t>(i));
    }
    if (PyErr_Occurred()) return false;
  }
  std::vector<bool> seen(n);
  for (std::size_t i : out) {
    if (seen[i] || b->pending[i] != nullptr) {
      PyErr_Format(PyExc_ValueError, "engine %zu already has a request outstanding in this batch",
                   i);
      return false;
    }
    seen[i] = true;
  }
  return true;
}

const PlainMethod* read_fn(PyObject* fn) {
  std::string name = "step_and_sync";
  if (fn != nullptr && !py::named_arg(fn, "fn", name, py::to_utf8)) return nullptr;
  const PlainMethod* m = find_plain_method(name);
  if (m == nullptr) {
    PyErr_Format(PyExc_ValueError, "unknown fn '%s': expected one of %s", name.c_str(),
                 plain_method_names());
  }
  return m;
}

// timeout_secs as a duration; omitted or None gives default_secs.
bool read_timeout(PyObject* obj, double default_secs, Timeout& out) {
  double secs;
  return py::timeout_number(obj, default_secs, secs) && py::timeout_duration(secs, out);
}

bool send_calls(BatchObject* b, const std::vector<std::size_t>& ids, const PlainMethod& m,
                const Timeout& t) {
  if (!bridge::send_batch(*b->batch, ids, static_cast<std::uint16_t>(m.fn_id), t)) return false;
  for (std::size_t i : ids) b->pending[i] = &m;
  return true;
}

PyObject* method_send(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"ids", false}, {"fn", false}, {"timeout_secs", false}};
  PyObject* a[3];
  if (!py::bind_args("EngineBatch.send", params, args, kwargs, a)) return nullptr;
  BatchObject* b = as_batch(self);
  InUse in_use(b);
  if (!in_use) return nullptr;
  std::vector<std::size_t> ids;
  const PlainMethod* m = read_fn(a[1]);
  Timeout t;
  if (!m || !read_timeout(a[2], m->default_timeout, t) || !read_ids(b, a[0], ids)) return nullptr;
  if (!send_calls(b, ids, *m, t)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* method_recv(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"min_ready", false}, {"timeout_secs", false}};
  PyObject* a[2];
  if (!py::bind_args("EngineBatch.recv", params, args, kwargs, a)) return nullptr;
  BatchObject* b = as_batch(self);
  InUse in_use(b);
  if (!in_use) return nullptr;
  std::size_t min_ready = b->batch->outstanding_count();
  if (a[0] != nullptr) {
    py::Ref index(PyNumber_Index(a[0]));
    const Py_ssize_t v = index ? PyLong_AsSsize_t(index.get()) : -1;
    if (v == -1 && PyErr_Occurred()) {
      py::reraise_argument_error("min_ready");
      return nullptr;
    }
    if (v < 0) {
      PyErr_SetString(PyExc_ValueError, "min_ready must be >= 0");
      return nullptr;
    }
    min_ready = static_cast<std::size_t>(v);
  }
  Clock::time_point until = Clock::now() + FAR_FUTURE;
  if (a[1] != nullptr) {
    Timeout t;
    if (!read_timeout(a[1], 0.0, t)) return nullptr;
    until = deadline_after(Clock::now(), t);
  }

  auto settled = bridge::recv_batch(*b->batch, min_ready, until);
  py::Ref out(PyList_New(0));
  for (auto& s : settled) {
    const PlainMethod* m = std::exchange(b->pending[s.index], nullptr);
    bool is_result;
    const std::size_t index = s.index;
    py::Ref value(bridge::settled_value(std::move(s), m->convert, is_result));
    py::Ref id(value ? PyLong_FromSize_t(index) : nullptr);
    py::Ref pair(id ? PyTuple_Pack(2, id.get(), value.get()) : nullptr);
    if (!out || !pair || PyList_Append(out.get(), pair.get()) < 0) return nullptr;
  }
  return out.release();
}

// One engine's step_and_sync outcome, decoded; the payload the views refer to kept with it.
struct StepReply {
  Bytes payload;
  codec::VecMatF64View view;
};

// The (N, k) snapshot array, its rows written straight from the replies (NaN where a call
// failed), and the position matrices (None where it failed). A reply whose snapshot length
// differs from the first one's fails its slot.
PyObject* step_results(std::vector<std::optional<StepReply>>& replies, PyObject* errors) {
  const std::size_t n = replies.size();
  std::size_t k = 0;
  for (auto& r : replies) {
    if (r) {
      k = r->view.vec.elements.count;
      break;
    }
  }
  npy_intp dims[2] = {static_cast<npy_intp>(n), static_cast<npy_intp>(k)};
  py::Ref snapshots(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  py::Ref positions(snapshots ? PyList_New(static_cast<Py_ssize_t>(n)) : nullptr);
  if (!positions) return nullptr;
  auto* rows = static_cast<double*>(
      PyArray_DATA(reinterpret_cast<PyArrayObject*>(snapshots.get())));
  for (std::size_t i = 0; i < n; ++i) {
    double* row = rows + i * k;
    auto& r = replies[i];
    if (r && r->view.vec.elements.count != k) {
      py::Ref e(py::engine_error_to_exception(EngineError::invalid_data(
          "snapshot length " + std::to_string(r->view.vec.elements.count) +
          " differs from the batch's " + std::to_string(k))));
      if (!e || PyList_SetItem(errors, static_cast<Py_ssize_t>(i), e.release()) < 0) return nullptr;
      r.reset();
    }
    PyObject* matrix = r ? numpy::mat_f64_to_array(r->view.mat) : Py_NewRef(Py_None);
    if (!matrix) return nullptr;
    PyList_SetItem(positions.get(), static_cast<Py_ssize_t>(i), matrix);
    if (r) {
      r->view.vec.elements.copy_to(row);
    } else {
      std::fill(row, row + k, std::numeric_limits<double>::quiet_NaN());
    }
  }
  return PyTuple_Pack(3, snapshots.get(), positions.get(), errors);
}

PyObject* method_step_and_sync(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"timeout_secs", false}};
  PyObject* a[1];
  if (!py::bind_args("EngineBatch.step_and_sync", params, args, kwargs, a)) return nullptr;
  BatchObject* b = as_batch(self);
  InUse in_use(b);
  if (!in_use) return nullptr;
  const PlainMethod* m = find_plain_method("step_and_sync");
  std::vector<std::size_t> ids;
  Timeout t;
  if (!read_timeout(a[0], m->default_timeout, t) || !read_ids(b, nullptr, ids) ||
      !send_calls(b, ids, *m, t)) {
    return nullptr;
  }
  auto settled = bridge::recv_batch(*b->batch, ids.size(), Clock::now() + FAR_FUTURE);

  const std::size_t n = ids.size();
  std::vector<std::optional<StepReply>> replies(n);
  py::Ref errors(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!errors) return nullptr;
  for (std::size_t i = 0; i < n; ++i) PyList_SetItem(errors.get(), i, Py_NewRef(Py_None));
  for (auto& s : settled) {
    b->pending[s.index] = nullptr;
    if (s.outcome.ok() && !s.panicked) {
      Bytes payload = std::move(s.outcome).value();
      auto view = codec::decode_vec_mat_f64(payload);
      if (view) {
        replies[s.index].emplace(StepReply{std::move(payload), view.value()});
        continue;
      }
      s.outcome = std::move(view).error();
    }
    bool is_result;
    PyObject* e = bridge::settled_value(std::move(s), m->convert, is_result);
    if (!e || PyList_SetItem(errors.get(), static_cast<Py_ssize_t>(s.index), e) < 0) return nullptr;
  }
  return step_results(replies, errors.get());
}

constexpr char kSendDoc[] =
    "send($self, ids=None, fn='step_and_sync', timeout_secs=None)\n--\n\n"
    "Sends one request of the argument-less method `fn` (\"step_and_sync\", \"step_next\",\n"
    "\"get_snapshot\", \"get_ticket_list\", or any other NativeEngineAsync method that takes\n"
    "only timeout_secs) to each engine in ids (default: all), every request out before any\n"
    "reply is awaited; the GIL is released once for the batch. Raises at once (ValueError,\n"
    "TypeError or PanicException for a bad time-out, as the method would) for a bad id, an\n"
    "unknown fn, or an id that already has a request outstanding in this batch; nothing is\n"
    "sent then. timeout_secs defaults to the method's own time-out and covers sending and\n"
    "waiting.";
constexpr char kRecvDoc[] =
    "recv($self, min_ready=None, timeout_secs=None)\n--\n\n"
    "Waits (GIL released, the sockets polled together) until at least min_ready of the\n"
    "outstanding requests (default: all of them; at most all of them) are answered or\n"
    "failed; returns (id, result) pairs in the order they completed. result is what the\n"
    "method's future would have given (for step_and_sync the (matrix, vector) tuple), or the\n"
    "exception instance the future would have been given. Requests not yet answered stay\n"
    "outstanding for a later recv. recv with nothing outstanding returns []. timeout_secs\n"
    "bounds the wait (default: only the calls' own time-outs do); when it passes first,\n"
    "recv returns what completed by then, possibly fewer than min_ready.";
constexpr char kStepDoc[] =
    "step_and_sync($self, timeout_secs=None)\n--\n\n"
    "send(all) then recv(all): (snapshots (N, k) float64 with row i for engine i (NaN row\n"
    "where it failed), positions: list of N matrices (None where it failed), errors: list\n"
    "of N exceptions or None). k is the first answered snapshot's length; an answer of\n"
    "another length fails its engine's slot with ValueError.";

PyMethodDef kMethods[] = {
    {"send", py::with_keywords<method_send>(), kArgs, kSendDoc},
    {"recv", py::with_keywords<method_recv>(), kArgs, kRecvDoc},
    {"step_and_sync", py::with_keywords<method_step_and_sync>(), kArgs, kStepDoc},
    {nullptr, nullptr, 0, nullptr},
};

const char kBatchDoc[] =
    "EngineBatch(engines)\n--\n\n"
    "A fixed group of engines whose calls go out together and whose replies are taken as they\n"
    "come. Each call is numbered, framed, checked and timed exactly as the same method called on\n"
    "that engine would be, with the same consequences (a time-out or protocol failure closes\n"
    "that engine's connection). An engine whose connection is busy with another call of its own\n"
    "gets the batch's call handed to its worker, queued behind that call. Not thread-safe.";

}  // namespace

PyObject* new_batch_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kBatchDoc)},
      {Py_tp_new, reinterpret_cast<void*>(batch_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
      {Py_tp_methods, kMethods},
      {Py_sq_length, reinterpret_cast<void*>(batch_len)},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      .name = "py_engine_native.EngineBatch",
      .basicsize = static_cast<int>(sizeof(BatchObject)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
  return PyType_FromSpec(&spec);
}

}  // namespace pen::engine
