// NumPy's C API, shared by every file of the module through one function table.
// module.cpp defines PEN_NUMPY_IMPORT before including this header: that file owns the table
// and fills it with import_numpy(); every other file only refers to it.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL pen_numpy_api
#ifndef PEN_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace pen::py {

// Loads NumPy's C API table; false with ImportError (or NumPy's own error) set.
// Defined in the one file that defines PEN_NUMPY_IMPORT.
bool import_numpy();

}  // namespace pen::py
