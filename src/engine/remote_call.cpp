#include "engine/remote_call.hpp"

#include <string>
#include <utility>
#include <variant>

#include "engine/engine_object.hpp"
#include "module/args.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "ws/rpc.hpp"

namespace pen::engine {

bool timeout_number(PyObject* obj, double default_secs, double& secs) {
  if (!obj) {
    secs = default_secs;
    return true;
  }
  if (py::to_f64(obj, secs)) return true;
  py::reraise_argument_error("timeout_secs");
  return false;
}

bool timeout_duration(double secs, ws::Timeout& out) {
  auto t = ws::timeout_from_secs(secs);
  if (auto* message = std::get_if<std::string>(&t)) {
    py::raise_panic(*message);
    return false;
  }
  out = std::get<ws::Timeout>(t);
  return true;
}

PyObject* call_remote(PyObject* self, std::uint16_t fn_id, Bytes payload, const ws::Timeout& t,
                      bridge::ReplyConverter convert) {
  const auto& shared = py::as_engine(self)->shared;
  return bridge::start_async_call(shared, ws::rpc_call(shared, fn_id, std::move(payload), t),
                                  convert);
}

}  // namespace pen::engine
