#include "engine/remote_call.hpp"

#include <utility>

#include "engine/engine_methods.hpp"
#include "engine/engine_object.hpp"
#include "ws/engine_shared.hpp"

namespace pen::engine {

PyObject* call_remote(PyObject* self, std::uint16_t fn_id, Bytes payload, const ws::Timeout& t,
                      bridge::ReplyConverter convert) {
  return bridge::start_remote_call(py::as_engine(self)->shared, fn_id, std::move(payload), t,
                                   convert);
}

PyObject* get_sync_wait(PyObject* self, void*) {
  return PyBool_FromLong(py::as_engine(self)->shared->sync_wait.load());
}

int set_sync_wait(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyBool_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "sync_wait must be True or False");
    return -1;
  }
  py::as_engine(self)->shared->sync_wait = value == Py_True;
  return 0;
}

}  // namespace pen::engine
