#include "engine/engine_object.hpp"

#include <new>
#include <utility>

#include "engine/engine_shared_factory.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"

namespace pen::py {
namespace {

// NativeEngineAsync(host, port, start_seq=None): converts host, port and start_seq in that
// order; the first failure is raised and no object is created.
PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Param params[] = {{"host", true}, {"port", true}, {"start_seq", false}};
  PyObject* values[3];
  if (!bind_args("NativeEngineAsync.__new__", params, args, kwargs, values)) return nullptr;

  std::string host;
  std::uint16_t port = 0;
  std::uint32_t start_seq = 1;
  if (!named_arg(values[0], "host", host, to_utf8) ||
      !named_arg(values[1], "port", port, to_u16) ||
      (values[2] != nullptr && !named_arg(values[2], "start_seq", start_seq, to_u32))) {
    return nullptr;
  }

  std::shared_ptr<ws::EngineShared> shared = make_engine_shared(start_seq);
  if (!shared) return nullptr;

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* engine = as_engine(self);
  new (&engine->host) std::string(std::move(host));
  engine->port = port;
  engine->start_seq = start_seq;
  new (&engine->shared) std::shared_ptr<ws::EngineShared>(std::move(shared));
  return self;
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* engine = as_engine(self);
  using SharedPtr = std::shared_ptr<ws::EngineShared>;
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

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>(kEngineDoc)},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, pen_engine_methods},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    .name = "builtins.NativeEngineAsync",
    .basicsize = static_cast<int>(sizeof(EngineObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = engine_slots,
};

}  // namespace

PyObject* engine_type() {
  // One class for the whole process, never released.
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&engine_spec);
  return type;
}

}  // namespace pen::py
