// Reading close_positions' sequences: any sequence but str, read by iteration.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

namespace pen::engine {

// Each returns false with the exception set: TypeError "Can't extract `str` to `Vec`" for a
// str, "'{type}' object cannot be converted to 'Sequence'" for a non-sequence; an element's
// own conversion error (TypeError, or OverflowError "out of range integral type conversion
// attempted" outside i32); an exception raised by the iteration itself.
bool sequence_of_i32(PyObject* obj, std::vector<std::int32_t>& out);
bool sequence_of_f64(PyObject* obj, std::vector<double>& out);

}  // namespace pen::engine
