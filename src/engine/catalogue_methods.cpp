// The methods whose arguments are simple: each converts its parameters, builds its request
// payload and hands the call to the bridge.
#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/async_call.hpp"
#include "codec/payload.hpp"
#include "engine/engine_object.hpp"
#include "engine/plain_method.hpp"
#include "engine/reply_converters.hpp"
#include "numpy/numpy_convert.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/py_ref.hpp"

namespace pen::engine {
namespace {

constexpr py::Param kTimeoutOnly[] = {{"timeout_secs", false}};
constexpr std::string_view kClassPrefix = "NativeEngineAsync.";

template <const PlainMethod& M>
PyObject* plain_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!py::bind_args(M.name, kTimeoutOnly, args, kwargs, a)) return nullptr;
  double secs;
  Timeout t;
  if (!py::timeout_number(a[0], M.default_timeout, secs) || !py::timeout_duration(secs, t)) {
    return nullptr;
  }
  return call_remote(self, M.fn_id, Bytes{}, t, M.convert);
}

// M's method table entry: its name without the class prefix, and a docstring of the signature
// line (from which Python derives __text_signature__) followed by `more`.
template <const PlainMethod& M>
PyMethodDef plain_entry(const char* more = "") {
  static const std::string name(std::string_view(M.name).substr(kClassPrefix.size()));
  static const std::string doc = name + "($self, timeout_secs=None)\n--\n\n" + more;
  return {name.c_str(), py::with_keywords<plain_method<M>>(), kArgs, doc.c_str()};
}

constexpr double kDefault = DEFAULT_TIMEOUT_SECS;
using codec::FnId;
constexpr PlainMethod kGetRlConfig{"NativeEngineAsync.get_rl_config", FnId::GetRlConfig, reply_text,
                                   kDefault};
constexpr PlainMethod kStepNext{"NativeEngineAsync.step_next", FnId::StepNext,
                                bridge::reply_to_none, kDefault};
constexpr PlainMethod kStepAndSync{"NativeEngineAsync.step_and_sync", FnId::StepAndSync,
                                   reply_mat_vec, kDefault};
constexpr PlainMethod kGetSnapshot{"NativeEngineAsync.get_snapshot", FnId::GetSnapshot, reply_vec,
                                   kDefault};
constexpr PlainMethod kGetTicketList{"NativeEngineAsync.get_ticket_list", FnId::GetTicketList,
                                     reply_mat, kDefault};
constexpr PlainMethod kGetOhlc{"NativeEngineAsync.get_ohlc", FnId::GetOhlc, reply_mat, kDefault};
constexpr PlainMethod kFetchEvents{"NativeEngineAsync.fetch_events", FnId::FetchEvents, reply_mat,
                                   kDefault};
constexpr PlainMethod kEndSession{"NativeEngineAsync.end_session", FnId::EndSession, reply_mat,
                                  kDefault};
constexpr PlainMethod kGetSyncPolicy{"NativeEngineAsync.get_sync_policy", FnId::GetSyncPolicy,
                                     reply_sync_policy, SYNC_POLICY_TIMEOUT_SECS};

constexpr const PlainMethod* kPlainMethods[] = {&kGetRlConfig, &kStepNext,      &kStepAndSync,
                                                &kGetSnapshot, &kGetTicketList, &kGetOhlc,
                                                &kFetchEvents, &kEndSession,    &kGetSyncPolicy};
// "test" after full Unicode lower-casing (no trimming) selects the test set; any other text
// the training set.
bool is_test_episode(PyObject* episode_type, bool& is_test) {
  py::Ref lowered(PyObject_CallMethod(episode_type, "lower", nullptr));
  if (!lowered) return false;
  int cmp = PyUnicode_CompareWithASCIIString(lowered.get(), "test");
  is_test = cmp == 0;
  return !PyErr_Occurred();
}

PyObject* method_init_candles(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"ohlc5", true}, {"timeout_secs", false}};
  PyObject* a[2];
  if (!py::bind_args("NativeEngineAsync.init_candles", params, args, kwargs, a)) return nullptr;
  double secs;
  if (!py::timeout_number(a[1], kDefault, secs)) return nullptr;
  // ohlc5 is checked in the body, so its errors carry no argument prefix.
  PyArrayObject* array;
  if (!numpy::check_array(a[0], 2, NPY_DOUBLE, array) || !numpy::check_contiguous(array)) {
    return nullptr;
  }
  Bytes payload;
  if (!numpy::encode_mat_from_array(array, payload)) return nullptr;
  Timeout t;
  if (!py::timeout_duration(secs, t)) return nullptr;
  return call_remote(self, FnId::InitCandles, std::move(payload), t, bridge::reply_to_none);
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
  Timeout t;
  if (!py::timeout_duration(secs, t)) return nullptr;
  return call_remote(self, FnId::ResetEpisode, std::move(payload), t, reply_u32);
}

// Each docstring starts with the signature line, from which Python derives __text_signature__.
const PyMethodDef kMethods[] = {
    {"init_candles", py::with_keywords<method_init_candles>(), kArgs,
     "init_candles($self, ohlc5, timeout_secs=None)\n--\n\n"},
    {"reset_episode", py::with_keywords<method_reset_episode>(), kArgs,
     "reset_episode($self, episode_index, episode_type, timeout_secs=None)\n--\n\n"
     "Reset to a specific episode by index.\n"
     "Payload: [u32 episode_index, u8 episode_type (0=train, 1=test)]"},
    plain_entry<kGetRlConfig>(
        "Get RL config from UI (seed, episode counts, etc.). Returns JSON string."),
    plain_entry<kStepNext>(),
    plain_entry<kStepAndSync>(),
    plain_entry<kGetSnapshot>(),
    plain_entry<kGetTicketList>(),
    plain_entry<kGetOhlc>(),
    plain_entry<kFetchEvents>(),
    plain_entry<kEndSession>(),
    plain_entry<kGetSyncPolicy>(),
};

}  // namespace

std::span<const PyMethodDef> catalogue_methods() { return kMethods; }

const PlainMethod* find_plain_method(std::string_view name) {
  for (const PlainMethod* m : kPlainMethods) {
    if (std::string_view(m->name).substr(kClassPrefix.size()) == name) return m;
  }
  return nullptr;
}

const char* plain_method_names() {
  static const std::string names = [] {
    std::string out;
    for (const PlainMethod* m : kPlainMethods) {
      out += out.empty() ? "" : ", ";
      out += std::string_view(m->name).substr(kClassPrefix.size());
    }
    return out;
  }();
  return names.c_str();
}

}  // namespace pen::engine
