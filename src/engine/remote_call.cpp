#include "engine/remote_call.hpp"

#include <utility>

#include "engine/engine_object.hpp"
#include "ws/rpc.hpp"

namespace pen::engine {

PyObject* call_remote(PyObject* self, std::uint16_t fn_id, Bytes payload, const ws::Timeout& t,
                      bridge::ReplyConverter convert) {
  const auto& shared = py::as_engine(self)->shared;
  return bridge::start_async_call(shared, ws::rpc_call(shared, fn_id, std::move(payload), t),
                                  convert);
}

}  // namespace pen::engine
