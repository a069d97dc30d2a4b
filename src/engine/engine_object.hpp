// NativeEngineAsync: the heap type, the layout of its instances, and the hand-off that every
// method sending a request shares.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "bridge/async_call.hpp"
#include "call/engine_shared.hpp"
#include "codec/bytes.hpp"
#include "codec/frame.hpp"
#include "codec/timeout.hpp"

namespace pen::engine {

// An instance: the object header, then the engine state fixed at construction. The C++
// members are constructed in place by tp_new and destroyed by tp_dealloc.
struct EngineObject {
  PyObject_HEAD std::string host;  // UTF-8, as given
  std::uint16_t port;
  // Shared with every task of this engine; tasks hold their own references, so releasing the
  // Python object never pulls state from under running work.
  std::shared_ptr<call::EngineShared> shared;
};

// A new class object "builtins.NativeEngineAsync"; the module makes it once, at import.
// nullptr with an exception set.
PyObject* new_engine_type();

// `self` of an engine method, which CPython guarantees to be an instance.
inline EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

// Sends `payload` as function `fn_id` on the engine's connection and returns the future whose
// result `convert` builds from the reply.
PyObject* call_remote(PyObject* self, codec::FnId fn_id, Bytes payload, const Timeout& t,
                      bridge::ReplyConverter convert);

// Each methods file's entries of the method table, in the table's order: lifecycle,
// catalogue, trading, then closing (close() and the async context manager).
std::span<const PyMethodDef> lifecycle_methods();
std::span<const PyMethodDef> catalogue_methods();
std::span<const PyMethodDef> trading_methods();
std::span<const PyMethodDef> closing_methods();

// The property table (bound_port, bound_address), ending in a null entry.
PyGetSetDef* engine_properties();

// METH_VARARGS | METH_KEYWORDS, the calling convention of every method that takes arguments.
inline constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

}  // namespace pen::engine
