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
    {nullptr, nullptr, 0, nullptr},
};
