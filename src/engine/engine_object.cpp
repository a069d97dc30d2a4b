#include "engine/engine_object.hpp"

#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "call/rpc.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "server/runtime.hpp"

namespace pen::engine {
namespace {

// A new EngineShared on the next worker of the process runtime (no thread is started).
// nullptr with MemoryError or PanicException set on failure.
std::shared_ptr<call::EngineShared> make_engine_shared(std::uint32_t start_seq) {
  try {
    return std::make_shared<call::EngineShared>(server::runtime::next_engine_executor(), start_seq);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    py::raise_panic(e.what());
  }
  return nullptr;
}

// NativeEngineAsync(host, port, start_seq=None): converts host, port and start_seq in that
// order; the first failure is raised and no object is created. start_seq lives on in the
// shared state, which numbers the requests.
PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"host", true}, {"port", true}, {"start_seq", false}};
  PyObject* values[3];
  if (!py::bind_args("NativeEngineAsync.__new__", params, args, kwargs, values)) return nullptr;

  std::string host;
  std::uint16_t port = 0;
  std::uint32_t start_seq = 1;
  if (!py::named_arg(values[0], "host", host, py::to_utf8) ||
      !py::named_arg(values[1], "port", port, py::to_u16) ||
      (values[2] != nullptr && !py::named_arg(values[2], "start_seq", start_seq, py::to_u32))) {
    return nullptr;
  }

  std::shared_ptr<call::EngineShared> shared = make_engine_shared(start_seq);
  if (!shared) return nullptr;

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* engine = as_engine(self);
  new (&engine->host) std::string(std::move(host));
  engine->port = port;
  new (&engine->shared) std::shared_ptr<call::EngineShared>(std::move(shared));
  return self;
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* engine = as_engine(self);
  using SharedPtr = std::shared_ptr<call::EngineShared>;
  engine->shared.~SharedPtr();
  using std::string;
  engine->host.~string();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(type);
}

// The signature line gives the class its __text_signature__; the body is empty.
const char kEngineDoc[] = "NativeEngineAsync(host, port, start_seq=None)\n--\n\n";

// The method table: the methods files' entries, then the null entry. The type refers to it for
// the life of the process.
PyMethodDef* method_table() {
  static std::vector<PyMethodDef> table;
  if (table.empty()) {
    for (auto part :
         {lifecycle_methods(), catalogue_methods(), trading_methods(), closing_methods()}) {
      table.insert(table.end(), part.begin(), part.end());
    }
    table.push_back({nullptr, nullptr, 0, nullptr});
  }
  return table.data();
}

}  // namespace

PyObject* new_engine_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kEngineDoc)},
      {Py_tp_new, reinterpret_cast<void*>(engine_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
      {Py_tp_methods, method_table()},
      {Py_tp_getset, engine_properties()},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      .name = "builtins.NativeEngineAsync",
      .basicsize = static_cast<int>(sizeof(EngineObject)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
  return PyType_FromSpec(&spec);
}

PyObject* call_remote(PyObject* self, codec::FnId fn_id, Bytes payload, const Timeout& t,
                      bridge::ReplyConverter convert) {
  return bridge::start_remote_call(as_engine(self)->shared, static_cast<std::uint16_t>(fn_id),
                                   std::move(payload), t, convert);
}

}  // namespace pen::engine
