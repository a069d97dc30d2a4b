// start() and wait_connected(): the two methods that send no request.
#include <optional>

#include "bridge/async_call.hpp"
#include "engine/engine_methods.hpp"
#include "engine/engine_object.hpp"
#include "engine/remote_call.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "ws/rpc.hpp"

namespace pen::engine {
namespace net = boost::asio;
namespace {

net::awaitable<Result<Bytes>> as_reply(net::awaitable<std::optional<EngineError>> op) {
  if (auto error = co_await std::move(op)) co_return std::move(*error);
  co_return Bytes{};
}

}  // namespace

PyObject* method_start(PyObject* self, PyObject*) {
  const auto& shared = py::as_engine(self)->shared;
  return bridge::start_async_call(
      shared, as_reply(ws::start_listener(shared, py::as_engine(self)->host, py::as_engine(self)->port)),
      bridge::reply_to_none);
}

PyObject* method_wait_connected(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"timeout_secs", false}};
  PyObject* a[1];
  if (!py::bind_args("NativeEngineAsync.wait_connected", params, args, kwargs, a)) return nullptr;
  std::optional<ws::Timeout> timeout;
  if (a[0]) {
    double secs;
    ws::Timeout t;
    if (!py::timeout_number(a[0], 0.0, secs) || !py::timeout_duration(secs, t)) return nullptr;
    timeout = t;
  }
  const auto& shared = py::as_engine(self)->shared;
  return bridge::start_async_call(shared, as_reply(ws::wait_connected(shared, timeout)),
                                  bridge::reply_to_none);
}

}  // namespace pen::engine
