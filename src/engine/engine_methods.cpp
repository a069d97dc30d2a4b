// The engine's method table, in its documented order. Each docstring starts with the
// signature line, from which Python derives __text_signature__.
#include "engine/engine_methods.hpp"

#include "engine/engine_object.hpp"
#include "py/args.hpp"

namespace {

using namespace pen::engine;
using pen::py::with_keywords;

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

}  // namespace

PyMethodDef pen_engine_methods[] = {
    {"start", method_start, METH_NOARGS, "start($self)\n--\n\n"},
    {"wait_connected", with_keywords<method_wait_connected>(), kArgs,
     "wait_connected($self, timeout_secs=None)\n--\n\n"},
    {"init_candles", with_keywords<method_init_candles>(), kArgs,
     "init_candles($self, ohlc5, timeout_secs=None)\n--\n\n"},
    {"reset_episode", with_keywords<method_reset_episode>(), kArgs,
     "reset_episode($self, episode_index, episode_type, timeout_secs=None)\n--\n\n"
     "Reset to a specific episode by index.\n"
     "Payload: [u32 episode_index, u8 episode_type (0=train, 1=test)]"},
    {"get_rl_config", with_keywords<method_get_rl_config>(), kArgs,
     "get_rl_config($self, timeout_secs=None)\n--\n\n"
     "Get RL config from UI (seed, episode counts, etc.). Returns JSON string."},
    {"step_next", with_keywords<method_step_next>(), kArgs,
     "step_next($self, timeout_secs=None)\n--\n\n"},
    {"step_and_sync", with_keywords<method_step_and_sync>(), kArgs,
     "step_and_sync($self, timeout_secs=None)\n--\n\n"},
    {"get_snapshot", with_keywords<method_get_snapshot>(), kArgs,
     "get_snapshot($self, timeout_secs=None)\n--\n\n"},
    {"get_ticket_list", with_keywords<method_get_ticket_list>(), kArgs,
     "get_ticket_list($self, timeout_secs=None)\n--\n\n"},
    {"get_ohlc", with_keywords<method_get_ohlc>(), kArgs,
     "get_ohlc($self, timeout_secs=None)\n--\n\n"},
    {"fetch_events", with_keywords<method_fetch_events>(), kArgs,
     "fetch_events($self, timeout_secs=None)\n--\n\n"},
    {"end_session", with_keywords<method_end_session>(), kArgs,
     "end_session($self, timeout_secs=None)\n--\n\n"},
    {"get_sync_policy", with_keywords<method_get_sync_policy>(), kArgs,
     "get_sync_policy($self, timeout_secs=None)\n--\n\n"},
    {"close_positions", with_keywords<method_close_positions>(), kArgs,
     "close_positions($self, position_ids, actions, ratios, timeout_secs=None)\n--\n\n"},
    {"place_order", with_keywords<method_place_order>(), kArgs,
     "place_order($self, side, order_type, price, units, take_profit=None, stop_loss=None, "
     "trailing_stop=None, time_limit=None, timeout_secs=None)\n--\n\n"},
    {"place_ticket", with_keywords<method_place_ticket>(), kArgs,
     "place_ticket($self, side, units, take_profit=None, stop_loss=None, trailing_stop=None, "
     "timeout_secs=None)\n--\n\n"},
    {"close", method_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Stops every accept loop of the engine (closing its listening sockets), ends the opening\n"
     "handshakes in progress and closes the installed UI connection; resolves to None. A call\n"
     "waiting for its reply fails with RuntimeError \"RpcTransportError(seq=Some(S),\n"
     "fnId=Some(F)): websocket closed\" (a call queued behind it with the transport error of\n"
     "its step), later calls with \"RpcTransportError(seq=None, fnId=Some(F)): no websocket\n"
     "connected\". Pending wait_connected() calls keep waiting: a later start() and a UI that\n"
     "connects resolve them, or their own time-out or cancellation ends them. start() may bind\n"
     "again afterwards. Idempotent; never fails."},
    {"__aenter__", method_aenter, METH_NOARGS,
     "__aenter__($self)\n--\n\n"
     "Awaits start() and resolves to the engine itself:\n"
     "async with NativeEngineAsync(host, port) as engine: ..."},
    {"__aexit__", with_keywords<method_aexit>(), kArgs,
     "__aexit__($self, exc_type, exc_value, traceback)\n--\n\n"
     "Awaits close() and resolves to None, so an exception raised in the block propagates."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pen_engine_getset[] = {
    {"bound_port", get_bound_port, nullptr,
     "Port of the listening socket of the most recent successful start() (the one the system\n"
     "chose when the port is 0), or None before start() and after close().",
     nullptr},
    {"bound_address", get_bound_address, nullptr,
     "(address, port) of the listening socket of the most recent successful start(), the\n"
     "address as text (\"127.0.0.1\", \"::1\"), or None before start() and after close().",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
