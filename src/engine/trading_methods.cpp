// The trading commands: place_order, place_ticket and close_positions. Every check runs in
// the call, in a fixed order, before any request exists.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/payload.hpp"
#include "codec/utf8.hpp"
#include "engine/engine_object.hpp"
#include "engine/reply_converters.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/py_ref.hpp"

namespace pen::engine {
namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Normalisation of the side and order-type words: Unicode White_Space trimmed at both ends,
// ASCII A-Z lowered, everything else left as it is. The input comes from a Python str, so it
// is valid UTF-8.
std::string normalised_choice(std::string_view s) {
  std::size_t begin = 0, end = 0;
  bool seen = false;
  const ByteView bytes = as_bytes_view(s.data(), s.size());
  for (std::size_t i = 0; i < s.size();) {
    const codec::Utf8Step step = codec::utf8_step(bytes, i);
    if (!is_white_space(step.code_point)) {
      if (!seen) begin = i;
      seen = true;
      end = i + step.length;
    }
    i += step.length;
  }
  std::string out(seen ? s.substr(begin, end - begin) : std::string_view{});
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// close_positions' sequences: any sequence but str, read by iteration. Each failure leaves its
// exception set: TypeError "Can't extract `str` to `Vec`" for a str, "'{type}' object cannot be
// converted to 'Sequence'" for a non-sequence; an element's own conversion error (TypeError,
// or OverflowError "out of range integral type conversion attempted" outside i32); an
// exception raised by the iteration itself.
bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (PySequence_Check(obj)) return true;
  py::raise_cannot_convert(obj, "Sequence");
  return false;
}

template <class T, class Convert>
bool read_sequence(PyObject* obj, std::vector<T>& out, Convert convert) {
  if (!check_sequence(obj)) return false;
  // The reported length only sizes the first allocation; a failing query is ignored.
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(hint));
  }
  py::Ref it(PyObject_GetIter(obj));
  if (!it) return false;
  while (py::Ref item{PyIter_Next(it.get())}) {
    T v;
    if (!convert(item.get(), v)) return false;
    out.push_back(v);
  }
  return !PyErr_Occurred();
}

bool sequence_of_i32(PyObject* obj, std::vector<std::int32_t>& out) {
  return read_sequence(obj, out, py::to_i32);
}

bool sequence_of_f64(PyObject* obj, std::vector<double>& out) {
  return read_sequence(obj, out, py::to_f64);
}

bool optional_f64(PyObject* obj, const char* name, std::optional<double>& out) {
  if (!obj) return true;
  double v;
  if (!py::named_arg(obj, name, v, py::to_f64)) return false;
  out = v;
  return true;
}

// take_profit, stop_loss and trailing_stop: the three optional offsets, from a[0], a[1], a[2].
struct Offsets {
  std::optional<double> take_profit, stop_loss, trailing_stop;
};

bool read_offsets(PyObject* const* a, Offsets& out) {
  return optional_f64(a[0], "take_profit", out.take_profit) &&
         optional_f64(a[1], "stop_loss", out.stop_loss) &&
         optional_f64(a[2], "trailing_stop", out.trailing_stop);
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

PyObject* send_vec(PyObject* self, codec::FnId fn_id, std::span<const double> values, double secs) {
  auto payload = codec::encode_vec_f64(values);
  Timeout t;
  if (!py::timeout_duration(secs, t)) return nullptr;
  return call_remote(self, fn_id, std::move(payload).value(), t, reply_vec);
}

PyObject* method_place_order(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {
      {"side", true},           {"order_type", true},   {"price", true},
      {"units", true},          {"take_profit", false}, {"stop_loss", false},
      {"trailing_stop", false}, {"time_limit", false},  {"timeout_secs", false}};
  PyObject* a[9];
  if (!py::bind_args("NativeEngineAsync.place_order", params, args, kwargs, a)) return nullptr;
  std::string side_text, type_text;
  double price, secs;
  std::int32_t units;
  Offsets offsets;
  std::optional<double> time_limit;
  if (!py::named_arg(a[0], "side", side_text, py::to_utf8) ||
      !py::named_arg(a[1], "order_type", type_text, py::to_utf8) ||
      !py::named_arg(a[2], "price", price, py::to_f64) ||
      !py::named_arg(a[3], "units", units, py::to_i32) || !read_offsets(a + 4, offsets) ||
      !optional_f64(a[7], "time_limit", time_limit) ||
      !py::timeout_number(a[8], DEFAULT_TIMEOUT_SECS, secs)) {
    return nullptr;
  }
  const auto& [take_profit, stop_loss, trailing_stop] = offsets;
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
  return send_vec(self, codec::FnId::PlaceOrder, values, secs);
}

PyObject* method_place_ticket(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {{"side", true},           {"units", true},
                                         {"take_profit", false},   {"stop_loss", false},
                                         {"trailing_stop", false}, {"timeout_secs", false}};
  PyObject* a[6];
  if (!py::bind_args("NativeEngineAsync.place_ticket", params, args, kwargs, a)) return nullptr;
  std::string side_text;
  std::int32_t units;
  double secs;
  Offsets offsets;
  if (!py::named_arg(a[0], "side", side_text, py::to_utf8) ||
      !py::named_arg(a[1], "units", units, py::to_i32) || !read_offsets(a + 2, offsets) ||
      !py::timeout_number(a[5], DEFAULT_TIMEOUT_SECS, secs)) {
    return nullptr;
  }
  const auto& [take_profit, stop_loss, trailing_stop] = offsets;
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
  return send_vec(self, codec::FnId::PlaceTicket, values, secs);
}

PyObject* method_close_positions(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr py::Param params[] = {
      {"position_ids", true}, {"actions", true}, {"ratios", true}, {"timeout_secs", false}};
  PyObject* a[4];
  if (!py::bind_args("NativeEngineAsync.close_positions", params, args, kwargs, a)) return nullptr;
  double secs;
  if (!py::timeout_number(a[3], DEFAULT_TIMEOUT_SECS, secs)) return nullptr;
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
  Timeout t;
  if (!py::timeout_duration(secs, t)) return nullptr;
  return call_remote(self, codec::FnId::ClosePositions, std::move(payload).value(), t, reply_mat);
}

const PyMethodDef kMethods[] = {
    {"close_positions", py::with_keywords<method_close_positions>(), kArgs,
     "close_positions($self, position_ids, actions, ratios, timeout_secs=None)\n--\n\n"},
    {"place_order", py::with_keywords<method_place_order>(), kArgs,
     "place_order($self, side, order_type, price, units, take_profit=None, stop_loss=None, "
     "trailing_stop=None, time_limit=None, timeout_secs=None)\n--\n\n"},
    {"place_ticket", py::with_keywords<method_place_ticket>(), kArgs,
     "place_ticket($self, side, units, take_profit=None, stop_loss=None, trailing_stop=None, "
     "timeout_secs=None)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> trading_methods() { return kMethods; }

}  // namespace pen::engine
