// NativeEngineAsync: the heap type and the layout of its instances.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>

namespace pen::ws {
struct EngineShared;
}

namespace pen::py {

// An instance: the object header, then the engine state fixed at construction. The C++
// members are constructed in place by tp_new and destroyed by tp_dealloc.
struct EngineObject {
  PyObject_HEAD
  std::string host;  // UTF-8, as given
  std::uint16_t port;
  std::uint32_t start_seq;
  // Shared with every task of this engine; tasks hold their own references, so releasing the
  // Python object never pulls state from under running work.
  std::shared_ptr<ws::EngineShared> shared;
};

// The class object "builtins.NativeEngineAsync", created on first use and kept for the life
// of the process. Borrowed reference, or nullptr with an exception set.
PyObject* engine_type();

// `self` of an engine method, which CPython guarantees to be an instance.
inline EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

}  // namespace pen::py

// The engine's method and property tables (engine_methods.cpp), each ending in a null entry.
extern PyMethodDef pen_engine_methods[];
extern PyGetSetDef pen_engine_getset[];
