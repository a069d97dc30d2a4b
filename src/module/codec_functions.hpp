// The seven module-level codec functions: decode_*_py (bytes -> arrays) and
// encode_*_py (arrays -> list of int).
#pragma once

#include <Python.h>

#include <span>

namespace pen::py {

// Their definitions, in the order in which the module registers them. The table lives for
// the whole process (function objects refer to it).
std::span<PyMethodDef> codec_function_defs();

}  // namespace pen::py
