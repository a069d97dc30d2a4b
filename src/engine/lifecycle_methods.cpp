// start() and wait_connected(): the two methods that send no request.
#include <optional>

#include "engine/engine_object.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "ws/engine_shared.hpp"
#include "ws/listener.hpp"

namespace pen::engine {
namespace net = boost::asio;
namespace {

net::awaitable<Result<Bytes>> as_reply(net::awaitable<std::optional<EngineError>> op) {
  if (auto error = co_await std::move(op)) co_return std::move(*error);
  co_return Bytes{};
}

PyObject* method_start(PyObject* self, PyObject*) {
  const EngineObject* engine = as_engine(self);
  return bridge::start_async_call(
      engine->shared, as_reply(ws::start_listener(engine->shared, engine->host, engine->port)),
      bridge::reply_to_none);
}

PyObject* method_wait_connected(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"timeout_secs", false}};
  PyObject* a[1];
  if (!py::bind_args("NativeEngineAsync.wait_connected", params, args, kwargs, a)) return nullptr;
  std::optional<Timeout> timeout;
  if (a[0]) {
    double secs;
    Timeout t;
    if (!py::timeout_number(a[0], 0.0, secs) || !py::timeout_duration(secs, t)) return nullptr;
    timeout = t;
  }
  const auto& shared = as_engine(self)->shared;
  return bridge::start_async_call(shared, as_reply(ws::wait_connected(shared, timeout)),
                                  bridge::reply_to_none);
}

// Each docstring starts with the signature line, from which Python derives __text_signature__.
const PyMethodDef kMethods[] = {
    {"start", method_start, METH_NOARGS, "start($self)\n--\n\n"},
    {"wait_connected", py::with_keywords<method_wait_connected>(), kArgs,
     "wait_connected($self, timeout_secs=None)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> lifecycle_methods() { return kMethods; }

}  // namespace pen::engine
