// EngineBatch: a fixed group of engines whose calls go out together and whose replies are
// taken as they come (the heap type; the calls themselves are the call layer's EngineBatch).
#pragma once

#include <Python.h>

namespace pen::engine {

// A new class object "py_engine_native.EngineBatch"; the module makes it once, at import.
// nullptr with an exception set.
PyObject* new_batch_type();

}  // namespace pen::engine
