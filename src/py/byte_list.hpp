// Payload bytes as the Python list of int that the encoders return.
#pragma once

#include <Python.h>

#include "codec/bytes.hpp"

namespace pen::py {

// A new list with one int (0..255) per byte, or nullptr with an exception set.
PyObject* bytes_to_int_list(ByteView bytes);

}  // namespace pen::py
