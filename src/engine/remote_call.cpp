#include "engine/remote_call.hpp"

#include <utility>

#include "engine/engine_object.hpp"

namespace pen::engine {

PyObject* call_remote(PyObject* self, std::uint16_t fn_id, Bytes payload, const ws::Timeout& t,
                      bridge::ReplyConverter convert) {
  return bridge::start_remote_call(py::as_engine(self)->shared, fn_id, std::move(payload), t,
                                   convert);
}

}  // namespace pen::engine
