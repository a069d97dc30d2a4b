// The methods whose arguments are simple: each converts its parameters, builds its request
// payload and hands the call to the bridge.
#include <cstdint>

#include "bridge/async_call.hpp"
#include "codec/payload.hpp"
#include "numpy/numpy_convert.hpp"
#include "engine/engine_methods.hpp"
#include "engine/reply_converters.hpp"
#include "engine/remote_call.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/py_ref.hpp"

namespace pen::engine {
namespace {

constexpr py::Param kTimeoutOnly[] = {{"timeout_secs", false}};

// A method whose only parameter is timeout_secs and whose request payload is empty.
struct PlainMethod {
  const char* name;
  std::uint16_t fn_id;
  bridge::ReplyConverter convert;
  double default_timeout;
};

template <const PlainMethod& M>
PyObject* plain_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!py::bind_args(M.name, kTimeoutOnly, args, kwargs, a)) return nullptr;
  double secs;
  ws::Timeout t;
  if (!py::timeout_number(a[0], M.default_timeout, secs) || !py::timeout_duration(secs, t)) return nullptr;
  return call_remote(self, M.fn_id, Bytes{}, t, M.convert);
}

constexpr double kDefault = ws::DEFAULT_TIMEOUT_SECS;
constexpr PlainMethod kGetRlConfig{"NativeEngineAsync.get_rl_config", 102, reply_text, kDefault};
constexpr PlainMethod kStepNext{"NativeEngineAsync.step_next", 2, bridge::reply_to_none, kDefault};
constexpr PlainMethod kStepAndSync{"NativeEngineAsync.step_and_sync", 130, reply_mat_vec, kDefault};
constexpr PlainMethod kGetSnapshot{"NativeEngineAsync.get_snapshot", 12, reply_vec, kDefault};
constexpr PlainMethod kGetTicketList{"NativeEngineAsync.get_ticket_list", 10, reply_mat, kDefault};
constexpr PlainMethod kGetOhlc{"NativeEngineAsync.get_ohlc", 15, reply_mat, kDefault};
constexpr PlainMethod kFetchEvents{"NativeEngineAsync.fetch_events", 30, reply_mat, kDefault};
constexpr PlainMethod kEndSession{"NativeEngineAsync.end_session", 40, reply_mat, kDefault};
constexpr PlainMethod kGetSyncPolicy{"NativeEngineAsync.get_sync_policy", 120, reply_sync_policy,
                                     ws::SYNC_POLICY_TIMEOUT_SECS};

// "test" after full Unicode lower-casing (no trimming) selects the test set; any other text
// the training set.
bool is_test_episode(PyObject* episode_type, bool& is_test) {
  py::Ref lowered(PyObject_CallMethod(episode_type, "lower", nullptr));
  if (!lowered) return false;
  int cmp = PyUnicode_CompareWithASCIIString(lowered.get(), "test");
  is_test = cmp == 0;
  return !PyErr_Occurred();
}

}  // namespace

PyObject* method_get_rl_config(PyObject* s, PyObject* a, PyObject* k) { return plain_method<kGetRlConfig>(s, a, k); }
PyObject* method_step_next(PyObject* s, PyObject* a, PyObject* k) { return plain_method<kStepNext>(s, a, k); }
PyObject* method_step_and_sync(PyObject* s, PyObject* a, PyObject* k) { return plain_method<kStepAndSync>(s, a, k); }
PyObject* method_get_snapshot(PyObject* s, PyObject* a, PyObject* k) { return plain_method<kGetSnapshot>(s, a, k); }
PyObject* method_get_ticket_list(PyObject* s, PyObject* a, PyObject* k) { return plain_method<kGetTicketList>(s, a, k); }
PyObject* method_get_ohlc(PyObject* s, PyObject* a, PyObject* k) { return plain_method<kGetOhlc>(s, a, k); }
PyObject* method_fetch_events(PyObject* s, PyObject* a, PyObject* k) { return plain_method<kFetchEvents>(s, a, k); }
PyObject* method_end_session(PyObject* s, PyObject* a, PyObject* k) { return plain_method<kEndSession>(s, a, k); }
PyObject* method_get_sync_policy(PyObject* s, PyObject* a, PyObject* k) { return plain_method<kGetSyncPolicy>(s, a, k); }

PyObject* method_init_candles(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"ohlc5", true}, {"timeout_secs", false}};
  PyObject* a[2];
  if (!py::bind_args("NativeEngineAsync.init_candles", params, args, kwargs, a)) return nullptr;
  double secs;
  if (!py::timeout_number(a[1], kDefault, secs)) return nullptr;
  // ohlc5 is checked in the body, so its errors carry no argument prefix.
  PyArrayObject* array;
  if (!py::check_array(a[0], 2, NPY_DOUBLE, array) || !py::check_contiguous(array)) return nullptr;
  Bytes payload;
  if (!py::encode_mat_from_array(array, payload)) return nullptr;
  ws::Timeout t;
  if (!py::timeout_duration(secs, t)) return nullptr;
  return call_remote(self, 100, std::move(payload), t, bridge::reply_to_none);
}

PyObject* method_reset_episode(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {
      {"episode_index", true}, {"episode_type", true}, {"timeout_secs", false}};
  PyObject* a[3];
  if (!py::bind_args("NativeEngineAsync.reset_episode", params, args, kwargs, a)) return nullptr;
  std::uint32_t index;
  std::string type_text;
  double secs;
  if (!py::named_arg(a[0], "episode_index", index, py::to_u32) ||
      !py::named_arg(a[1], "episode_type", type_text, py::to_utf8) ||
      !py::timeout_number(a[2], kDefault, secs)) {
    return nullptr;
  }
  bool is_test;
  if (!is_test_episode(a[1], is_test)) return nullptr;
  Bytes payload;
  payload.reserve(5);
  append_le(payload, index);
  append_le(payload, static_cast<std::uint8_t>(is_test ? 1 : 0));
  ws::Timeout t;
  if (!py::timeout_duration(secs, t)) return nullptr;
  return call_remote(self, 101, std::move(payload), t, reply_u32);
}

}  // namespace pen::engine
