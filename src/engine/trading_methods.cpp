// The trading commands: place_order, place_ticket and close_positions. Every check runs in
// the call, in a fixed order, before any request exists.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/payload.hpp"
#include "engine/engine_methods.hpp"
#include "engine/reply_converters.hpp"
#include "engine/remote_call.hpp"
#include "engine/sequence_convert.hpp"
#include "engine/side_text.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"

namespace pen::engine {
namespace {

constexpr std::uint16_t kPlaceOrder = 20;
constexpr std::uint16_t kPlaceTicket = 21;
constexpr std::uint16_t kClosePositions = 31;

bool optional_f64(PyObject* obj, const char* name, std::optional<double>& out) {
  if (!obj) return true;
  double v;
  if (!py::named_arg(obj, name, v, py::to_f64)) return false;
  out = v;
  return true;
}

bool check_side(const std::string& text, bool& buy) {
  auto side = normalised_choice(text);
  if (side == "buy" || side == "sell") {
    buy = side == "buy";
    return true;
  }
  PyErr_SetString(PyExc_ValueError, "side must be 'buy' or 'sell'");
  return false;
}

bool check_units(std::int32_t units) {
  if (units >= 1) return true;
  PyErr_SetString(PyExc_ValueError, "units must be > 0");
  return false;
}

// take_profit, stop_loss and trailing_stop, each only when given: finite and not below zero.
bool check_offsets(std::initializer_list<const std::optional<double>*> values) {
  for (const auto* v : values) {
    if (*v && (!std::isfinite(**v) || **v < 0.0)) {
      PyErr_SetString(PyExc_ValueError, "value must be finite and >= 0");
      return false;
    }
  }
  return true;
}

// The offset as sent: the product (or the value) first, then -1.0 added, as two separate
// double operations.
double shifted(const std::optional<double>& v, double scale) {
  if (!v) return 0.0;
  const double product = *v * scale;
  return product + -1.0;
}

double flag(const std::optional<double>& v, double absent) { return v ? 1.0 : absent; }

PyObject* send_vec(PyObject* self, std::uint16_t fn_id, std::span<const double> values,
                   double secs) {
  auto payload = codec::encode_vec_f64(values);
  ws::Timeout t;
  if (!py::timeout_duration(secs, t)) return nullptr;
  return call_remote(self, fn_id, std::move(payload).value(), t, reply_vec);
}

}  // namespace

PyObject* method_place_order(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {
      {"side", true},          {"order_type", true},  {"price", true},
      {"units", true},         {"take_profit", false}, {"stop_loss", false},
      {"trailing_stop", false}, {"time_limit", false}, {"timeout_secs", false}};
  PyObject* a[9];
  if (!py::bind_args("NativeEngineAsync.place_order", params, args, kwargs, a)) return nullptr;
  std::string side_text, type_text;
  double price, secs;
  std::int32_t units;
  std::optional<double> take_profit, stop_loss, trailing_stop, time_limit;
  if (!py::named_arg(a[0], "side", side_text, py::to_utf8) ||
      !py::named_arg(a[1], "order_type", type_text, py::to_utf8) ||
      !py::named_arg(a[2], "price", price, py::to_f64) || !py::named_arg(a[3], "units", units, py::to_i32) ||
      !optional_f64(a[4], "take_profit", take_profit) ||
      !optional_f64(a[5], "stop_loss", stop_loss) ||
      !optional_f64(a[6], "trailing_stop", trailing_stop) ||
      !optional_f64(a[7], "time_limit", time_limit) ||
      !py::timeout_number(a[8], ws::DEFAULT_TIMEOUT_SECS, secs)) {
    return nullptr;
  }
  bool buy;
  if (!check_side(side_text, buy)) return nullptr;
  auto order_type = normalised_choice(type_text);
  if (order_type != "limit" && order_type != "stop") {
    PyErr_SetString(PyExc_ValueError, "order_type must be 'limit' or 'stop'");
    return nullptr;
  }
  if (!std::isfinite(price)) {
    PyErr_SetString(PyExc_ValueError, "price must be finite");
    return nullptr;
  }
  if (!check_units(units) || !check_offsets({&take_profit, &stop_loss, &trailing_stop})) {
    return nullptr;
  }
  const std::array<double, 13> values{
      1.0,
      price,
      flag(take_profit, -1.0),
      flag(stop_loss, -1.0),
      flag(trailing_stop, -1.0),
      flag(time_limit, -1.0),
      buy ? 1.0 : -1.0,
      order_type == "limit" ? 1.0 : -1.0,
      static_cast<double>(units),
      shifted(take_profit, 100.0),
      shifted(stop_loss, 100.0),
      shifted(trailing_stop, 100.0),
      time_limit.value_or(0.0),
  };
  return send_vec(self, kPlaceOrder, values, secs);
}

PyObject* method_place_ticket(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"side", true},          {"units", true},
                                         {"take_profit", false},  {"stop_loss", false},
                                         {"trailing_stop", false}, {"timeout_secs", false}};
  PyObject* a[6];
  if (!py::bind_args("NativeEngineAsync.place_ticket", params, args, kwargs, a)) return nullptr;
  std::string side_text;
  std::int32_t units;
  double secs;
  std::optional<double> take_profit, stop_loss, trailing_stop;
  if (!py::named_arg(a[0], "side", side_text, py::to_utf8) || !py::named_arg(a[1], "units", units, py::to_i32) ||
      !optional_f64(a[2], "take_profit", take_profit) ||
      !optional_f64(a[3], "stop_loss", stop_loss) ||
      !optional_f64(a[4], "trailing_stop", trailing_stop) ||
      !py::timeout_number(a[5], ws::DEFAULT_TIMEOUT_SECS, secs)) {
    return nullptr;
  }
  bool buy;
  if (!check_side(side_text, buy) || !check_units(units) ||
      !check_offsets({&take_profit, &stop_loss, &trailing_stop})) {
    return nullptr;
  }
  const std::array<double, 9> values{
      1.0,
      flag(take_profit, 0.0),
      flag(stop_loss, 0.0),
      flag(trailing_stop, 0.0),
      buy ? 1.0 : 0.0,
      static_cast<double>(units),
      shifted(take_profit, 1.0),
      shifted(stop_loss, 1.0),
      shifted(trailing_stop, 1.0),
  };
  return send_vec(self, kPlaceTicket, values, secs);
}

PyObject* method_close_positions(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {
      {"position_ids", true}, {"actions", true}, {"ratios", true}, {"timeout_secs", false}};
  PyObject* a[4];
  if (!py::bind_args("NativeEngineAsync.close_positions", params, args, kwargs, a)) return nullptr;
  double secs;
  if (!py::timeout_number(a[3], ws::DEFAULT_TIMEOUT_SECS, secs)) return nullptr;
  // The sequences are read in the body: their errors carry no argument prefix.
  std::vector<std::int32_t> ids, actions;
  std::vector<double> ratios;
  if (!sequence_of_i32(a[0], ids) || !sequence_of_i32(a[1], actions) ||
      !sequence_of_f64(a[2], ratios)) {
    return nullptr;
  }
  if (ids.size() != actions.size() || ids.size() != ratios.size()) {
    PyErr_SetString(PyExc_ValueError, "close_positions: arrays must have equal length");
    return nullptr;
  }
  // Only the reduce action (2) carries a ratio; every other action sends 0.0.
  for (std::size_t i = 0; i < ratios.size(); ++i) {
    if (actions[i] != 2) {
      ratios[i] = 0.0;
    } else if (!(ratios[i] >= 0.0 && ratios[i] <= 1.0)) {
      PyErr_SetString(PyExc_ValueError, "ratio out of range for reduce");
      return nullptr;
    }
  }
  auto payload = codec::encode_close_step(ids, actions, ratios);
  if (!payload) {
    py::set_engine_error(payload.error());
    return nullptr;
  }
  ws::Timeout t;
  if (!py::timeout_duration(secs, t)) return nullptr;
  return call_remote(self, kClosePositions, std::move(payload).value(), t, reply_mat);
}

}  // namespace pen::engine
