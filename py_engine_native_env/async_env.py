"""The trading environment for asyncio programs, on a py_engine_native engine (NumPy only).

The engine is asynchronous, so `reset` and `step` are coroutines; apart from `await` they keep
Gymnasium's contract:

    env = AsyncTradingEnv(engine)             # engine: a started, connected NativeEngineAsync
    obs, info = await env.reset(seed=1)
    obs, reward, terminated, truncated, info = await env.step(TradingEnv.BUY)

Observation: float64 vector of shape (window + 4,), built from the UI's snapshot and recent
candles (see py_engine_native_env.episodes): log returns of the last `window` closes (leading
zeros where the episode has less history), position, unrealised pnl, equity change, fraction
of the episode elapsed.

Actions, a discrete set of four:
    0 HOLD       do nothing
    1 BUY        open a long position, only when flat (no position and no pending entry order)
    2 SELL       open a short position, only when flat
    3 CLOSE_ALL  close every open position and cancel pending entry orders
A BUY or SELL while not flat does nothing, as HOLD. How a position is opened is the `entry`
style: "ticket" fills a market ticket at the current close; "limit" places a limit order
`limit_offset` (a fraction) beyond the close that expires after `limit_ttl` steps. Both carry a
stop-loss `stop_loss` (a fraction of the price) when it is set.

Reward: the change of the account's equity (in account currency) over the step.
terminated: the UI reports the episode done (after its episode length).
truncated: `max_steps` steps were taken before that.
At either end the environment ends the UI's session (closing what is open, at the current
close, so equity does not move) and adds to `info`: "summary" (the end-of-session row by
field name), "events" (the UI's event matrix of the episode) and "episode" (as Gymnasium's
episode statistics: return "r", length "l" in steps, wall time "t" in seconds). `reset` must be awaited again
before the next `step`.

Stepping style (`sync`): "deferred" steps with step_next and then reads the snapshot (and the
ticket list when a position is open); "eager" uses step_and_sync, which returns both with the
step: one call a step. "auto" (the default) steps eagerly whenever the UI tells its sync
policy (a UI that does answers both styles, and a step needs the snapshot every time), and in
the deferred style when it gives none. Orders go out only when the action asks for one.
`reset(options=...)` may override "episode_index", "episode_type" ("train" / "test"), "sync"
and "entry" for one episode; an episode type other than those two, or an index outside the
UI's count of episodes of that type, is a ValueError.

`candles` (an array, a CSV path or a DataFrame; see py_engine_native_env.candles) are loaded
with `init_candles` before an episode starts on a UI that does not have them yet (the first, a
restarted or a replaced one); the UI's configuration is read again after loading.

A UI that goes away (a reloaded page, a restarted UI process) does not end the run: the step
whose call fails because the connection dropped ends the episode as truncated, with the
engine's error text in info["ui_lost"]; the next `reset` waits up to `reconnect_timeout`
seconds for a UI to connect again (RuntimeError if none does) and starts a new episode there.
`revive`, given by an environment that started the UI process itself, is called when the UI is
lost: it starts that process again at once if it died.
A UI that was replaced between two steps is noticed by its simulation's step counter.
"""

from __future__ import annotations

import json
import math
from typing import Any, Callable

import numpy as np
from numpy.typing import NDArray

from .episodes import Episodes
from .options import (ENTRY_STYLES, ENVIRONMENT_FIELDS, EPISODE_TYPES, SYNC_STYLES, EnvOptions,
                      check_choice)
from .protocol import CLOSE_ACTION, DEFAULT_FIELDS, UILost, call, layouts, outcome
from .spaces import Box, Discrete

Obs = NDArray[np.float64]  # an observation (float64, window + 4 values)
Info = dict[str, Any]


def observation_space(window: int) -> Any:
    """Returns of the last `window` closes, position in -1..1, pnl and equity change (any
    value), elapsed fraction in 0..1."""
    low = np.full(window + 4, -np.inf)
    high = np.full(window + 4, np.inf)
    low[window], high[window] = -1.0, 1.0
    low[window + 3], high[window + 3] = 0.0, 1.0
    return Box(low, high, dtype=np.float64)


class AsyncTradingEnv:
    """Keywords (or an EnvOptions as `options`): config, window, units, sync, entry,
    episode_type, max_steps, stop_loss, limit_offset, limit_ttl, reconnect_timeout.
    VectorTradingEnv gives its environments one `episodes` table, a row each."""

    HOLD, BUY, SELL, CLOSE_ALL = range(4)
    ACTION_NAMES = ("hold", "buy", "sell", "close_all")
    n_actions = 4

    def __getattr__(self, name: str) -> Any:
        """The environment's options read as its attributes (`env.window`, `env.units`, ...)."""
        options = self.__dict__.get("options")
        if options is not None and name in ENVIRONMENT_FIELDS:
            return getattr(options, name)
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def __init__(self, engine: Any, *, options: EnvOptions | None = None,
                 episodes: Episodes | None = None, row: int = 0,
                 revive: Callable[[], None] | None = None, **keywords: Any) -> None:
        opts = EnvOptions.build(options, environment_only=True, **keywords)
        self.options = opts
        self.engine = engine
        self.config = opts.config  # the UI's, once read; the options give the first
        self._revive = revive
        self.action_space = Discrete(self.n_actions)
        self.observation_space = observation_space(self.options.window)
        self.observation_shape = (self.options.window + 4,)
        self.np_random = np.random.default_rng()
        self._episodes = episodes if episodes is not None else Episodes(1, self.options.window)
        self._row = row
        self._rows = slice(row, row + 1)
        self._own_config = self.config is None
        self._lost: str | None = None
        self._advice: str | None = None
        self._ready = False
        self._tickets: Obs = np.empty((0, len(DEFAULT_FIELDS["ticket_fields"])))
        self._pending: set[int] = set()

    # -- Gymnasium-style API -------------------------------------------------------------

    async def reset(self, seed: int | None = None,
                    options: Info | None = None) -> tuple[Obs, Info]:
        """Start an episode; returns (observation, info)."""
        if seed is not None:
            self.np_random = np.random.default_rng(seed)
        self._ready = False
        options = options or {}
        check_choice("episode_type", options.get("episode_type", self.options.episode_type),
                     EPISODE_TYPES)
        try:
            if self._lost is not None:
                await self.wait_for_ui(self.options.reconnect_timeout)
            return await self._reset(options)
        except UILost as e:
            # The UI went away during the reset itself: once more, on the next connection.
            self._forget_ui(str(e))
            await self.wait_for_ui(self.options.reconnect_timeout)
            return await self._reset(options)

    async def step(self, action: int) -> tuple[Obs, float, bool, bool, Info]:
        """Apply `action`, advance one step; returns (obs, reward, terminated, truncated, info)."""
        action = self.check_step(action)
        info: Info = {"action": self.ACTION_NAMES[action]}
        try:
            await self._act(action, info)
            tickets, snapshot = await self._advance()
        except UILost as e:
            return self._end_lost(str(e), info)
        snapshots = snapshot[None]
        reasons = self._episodes.replaced(self._rows, snapshots)
        if reasons is not None:
            return self._end_lost(str(reasons[0]), info)
        rewards, terminated, truncated = self._episodes.advance(self._rows, snapshots, [tickets])
        self._took_step(tickets)
        info["equity"] = self._snap("equity")
        info["step"] = int(self._snap("step"))
        if terminated[0] or truncated[0]:
            await self._end_episode(info)
        return (self._episodes.observe(self._rows)[0], float(rewards[0]), bool(terminated[0]),
                bool(truncated[0]), info)

    def check_step(self, action: Any) -> int:
        """The action as an int, once the episode is known to be running and the action valid."""
        if not self._ready:
            raise RuntimeError("reset() must be awaited before step() (episode over or not started)")
        if not self.action_space.contains(action):
            raise ValueError(f"action must be in 0..{self.n_actions - 1} "
                             f"(an integer of {self.action_space}), got {action!r}")
        return int(action)

    @property
    def ready(self) -> bool:
        """True while an episode runs: from its reset to the step that ends it."""
        return self._ready

    async def wait_for_ui(self, timeout: float, *, waited: float = 0.0) -> None:
        """Waits up to `timeout` seconds for a UI connection after a loss (`waited`: seconds
        already waited, for the error's text); a UI process of the environment's own that died
        is started again first."""
        if self._revive is not None and not await self.ui_connected():
            self._revive()
        try:
            await self.engine.wait_connected(timeout)
        except RuntimeError as e:
            raise RuntimeError(f"no UI connected again within {timeout + waited:g} s after the "
                               f"last one went away ({self._lost})") from e
        self._lost = None

    async def ui_connected(self) -> bool:
        """True when a UI connection is installed now (after a loss: a new one)."""
        try:
            await self.engine.wait_connected(0)
        except RuntimeError:
            return False
        self._lost = None
        return True

    @property
    def lost(self) -> str | None:
        """Why the UI was lost, until a UI is connected again; None otherwise."""
        return self._lost

    # -- the parts of a step (VectorTradingEnv runs them for many environments at once) ---

    async def _reset(self, options: Info) -> tuple[Obs, Info]:
        if self.options.candles is not None:
            await self._load_candles()
        if self.config is None:
            self.config = json.loads(await call(self.engine.get_rl_config))
        self._config: Info = self.config
        self._fields = layouts(self._config)
        self._episode_type = options.get("episode_type", self.options.episode_type)
        self._sync = await self._resolve_sync(options.get("sync", self.options.sync))
        self._entry = options.get("entry", self.options.entry)
        check_choice("entry", self._entry, ENTRY_STYLES)

        index = options.get("episode_index")
        count = self._config.get(f"{self._episode_type}_episodes")
        if count is not None and (count < 1 or index is not None and not 0 <= index < count):
            raise ValueError(f"episode_index {index} is out of range: the UI has {count} "
                             f"{self._episode_type} episodes" if count else
                             f"the UI has no {self._episode_type} episodes")
        if index is None:
            index = int(self.np_random.integers(count or 1))
        selected = await call(self.engine.reset_episode, index, self._episode_type)
        snapshot = await call(self.engine.get_snapshot)
        ohlc = await call(self.engine.get_ohlc)
        window = self.options.window
        closes = (ohlc[-(window + 1):, self._fields["ohlc_fields"]["close"]] if ohlc.size
                  else np.empty(0))
        self._episodes.begin(self._row, snapshot, closes, cols=self._fields["snapshot_fields"],
                             ticket_cols=self._fields["ticket_fields"],
                             length=self._config.get("episode_length") or 1,
                             max_steps=self.options.max_steps)
        self._tickets = np.empty((0, len(self._fields["ticket_fields"])))
        self._pending = set()
        self._ready = True
        info = {"episode_index": selected, "episode_type": self._episode_type,
                "sync": self._sync, "entry": self._entry, "equity": self._snap("equity")}
        return self._episodes.observe(self._rows)[0], info

    def _wants_order(self, action: int) -> bool:
        """Whether `action` makes a call before the step: an entry when flat, a close when
        something is open or pending."""
        if action == self.CLOSE_ALL:
            return bool(self._tickets.size or self._pending)
        return action != self.HOLD and self._snap("open_positions") == 0 \
            and self._snap("pending_orders") == 0

    async def _act(self, action: int, info: Info) -> None:
        if self._wants_order(action):
            self._ordered(action, await outcome(self._order(action)), info)

    def _order(self, action: int) -> Any:
        """Sends the order `action` asks for; returns the call's future."""
        if action == self.CLOSE_ALL:
            ids = [int(i) for i in self._tickets[:, self._fields["ticket_fields"]["id"]]]
            ids += sorted(self._pending - set(ids))
            return self.engine.close_positions(ids, [CLOSE_ACTION] * len(ids), [0.0] * len(ids))
        side = "buy" if action == self.BUY else "sell"
        close = self._snap("close")
        if self._entry == "ticket":
            # Ticket offsets are price distances from the entry.
            stop = close * self.options.stop_loss if self.options.stop_loss else None
            return self.engine.place_ticket(side, self.options.units, stop_loss=stop)
        # Order offsets are fractions of the fill price; the time limit counts steps.
        sign = -1.0 if side == "buy" else 1.0
        price = close * (1.0 + sign * self.options.limit_offset)
        return self.engine.place_order(side, "limit", price, self.options.units,
                                       stop_loss=self.options.stop_loss or None,
                                       time_limit=float(self.options.limit_ttl))

    def _ordered(self, action: int, reply: Obs, info: Info) -> None:
        """Takes the UI's reply to the order of `action`."""
        if action == self.CLOSE_ALL:
            info["closed"] = reply
            self._pending.clear()
            return
        fields = self._fields["order_reply_fields"]
        if reply[fields["accepted"]] == 1.0 and math.isnan(reply[fields["fill_price"]]):
            self._pending.add(int(reply[fields["id"]]))
        info["order"] = reply

    async def _advance(self) -> tuple[Any, Obs]:
        """One step of the UI's simulation: (ticket list or None, snapshot)."""
        if self._sync == "eager":
            tickets, snapshot = await call(self.engine.step_and_sync)
            return tickets, snapshot
        await call(self.engine.step_next)
        snapshot = await call(self.engine.get_snapshot)
        # No open position means an empty list: skip the round trip.
        opened = snapshot[self._fields["snapshot_fields"]["open_positions"]] > 0
        return (await call(self.engine.get_ticket_list) if opened else None), snapshot

    def _took_step(self, tickets: Any) -> None:
        # An empty matrix arrives with shape (0, 0); keep the column count for indexing.
        self._tickets = tickets if tickets is not None and tickets.size else self._tickets[:0]
        if self._pending and self._snap("pending_orders") == 0:
            self._pending.clear()

    async def _end_episode(self, info: Info) -> None:
        try:
            summary = await call(self.engine.end_session)
            if summary.size:
                names = self._config.get("summary_fields") or DEFAULT_FIELDS["summary_fields"]
                info["summary"] = dict(zip(names, summary[0].tolist()))
            info["events"] = await call(self.engine.fetch_events)
        except UILost as e:
            self._forget_ui(str(e))
            info["ui_lost"] = str(e)
        info["episode"] = self._episodes.statistics(self._row)
        self._ready = False

    def _forget_ui(self, reason: str) -> None:
        """After a loss: what was learnt from the UI is read again from the next one."""
        self._lost = reason
        self._ready = False
        if self._own_config:
            self.config = None  # the next UI may be configured otherwise
        self._advice = None
        if self._revive is not None:  # a UI process of our own that died: a new one at once
            self._revive()

    def _end_lost(self, reason: str, info: Info) -> tuple[Obs, float, bool, bool, Info]:
        """Ends the episode as truncated after the UI went away; the next reset goes on."""
        self._forget_ui(reason)
        info["ui_lost"] = reason
        self._episodes.lengths[self._row] += 1  # the step that found the UI gone
        info["episode"] = self._episodes.statistics(self._row)
        return self._episodes.observe(self._rows)[0], 0.0, False, True, info

    async def _resolve_sync(self, sync: str) -> str:
        check_choice("sync", sync, SYNC_STYLES)
        if sync != "auto":
            return sync
        if self._advice is None:
            self._advice = await call(self.engine.get_sync_policy) or ""
        return "eager" if self._advice else "deferred"

    async def _load_candles(self) -> None:
        """Loads `candles` on a UI that does not have them yet; reads its configuration again."""
        config = json.loads(await call(self.engine.get_rl_config))
        if config.get("candle_source") != "init_candles":
            await call(self.engine.init_candles, self.options.candles)
            config = json.loads(await call(self.engine.get_rl_config))
        if self._own_config:
            self.config = config

    def _snap(self, name: str) -> float:
        return self._episodes.snap(self._row, name)
