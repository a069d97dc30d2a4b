// The Python names and constant arguments of the call path (made at import, in ModuleState).
#pragma once

#include <Python.h>

#include "py/module_state.hpp"

namespace pen::bridge {

using PyNames = py::PyNames;

inline const PyNames* py_names() { return &py::module_state().names; }

// fut.cancelled() as 1 or 0; -1 with an exception set.
int future_cancelled(PyObject* fut);

}  // namespace pen::bridge
