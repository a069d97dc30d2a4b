"""The trading environment for asyncio programs, on a py_engine_native engine (NumPy only).

The engine is asynchronous, so `reset` and `step` are coroutines; apart from `await` they keep
Gymnasium's contract:

    env = AsyncTradingEnv(engine)             # engine: a started, connected NativeEngineAsync
    obs, info = await env.reset(seed=1)
    obs, reward, terminated, truncated, info = await env.step(TradingEnv.BUY)

Observation: float64 vector of shape (window + 4,), built from the UI's snapshot and recent
candles:
    [0 .. window-1]  log returns of the last `window` closes in percent, oldest first
                     (0 where the episode has less history)
    [window + 0]     position: +1 long, -1 short, 0 flat
    [window + 1]     unrealised pnl, percent of the initial equity
    [window + 2]     equity change since the episode started, percent of the initial equity
    [window + 3]     fraction of the episode elapsed (0 at reset, 1 at its last step)

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
field name) and "events" (the UI's event matrix of the episode). `reset` must be awaited again
before the next `step`.

Stepping style (`sync`): "deferred" steps with step_next and then reads the snapshot (and the
ticket list when a position is open); "eager" uses step_and_sync, which returns both with the
step; "auto" follows the UI's get_sync_policy advice. `reset(options=...)` may override
"episode_index", "episode_type" ("train" / "test"), "sync" and "entry" for one episode.

A UI that goes away (a reloaded page, a restarted UI process) does not end the run: the step
whose call fails because the connection dropped ends the episode as truncated, with the
engine's error text in info["ui_lost"]; the next `reset` waits up to `reconnect_timeout`
seconds for a UI to connect again (RuntimeError if none does) and starts a new episode there.
A UI that was replaced between two steps is noticed by its simulation's step counter.
"""

from __future__ import annotations

import json
import math
from collections import deque
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .spaces import Box, Discrete

Obs = NDArray[np.float64]  # an observation (float64, window + 4 values)
Info = dict[str, Any]

# Field layouts of the reference UI, used when the UI's configuration does not name them.
DEFAULT_FIELDS = {
    "snapshot_fields": ["step", "time", "close", "equity", "balance", "unrealised_pnl",
                        "open_positions", "pending_orders", "done", "episode_index",
                        "episode_type"],
    "ticket_fields": ["id", "side", "units", "entry_price", "entry_step", "price",
                      "unrealised_pnl", "take_profit_price", "stop_loss_price",
                      "trailing_stop_price", "expiry_step", "source"],
    "ohlc_fields": ["time", "open", "high", "low", "close", "volume"],
    "summary_fields": ["episode_index", "episode_type", "steps", "initial_equity",
                       "final_equity", "realised_pnl", "closed_trades", "winning_trades",
                       "losing_trades", "max_drawdown"],
    "order_reply_fields": ["accepted", "id", "fill_price", "reason"],
}
CLOSE_ACTION = 1  # close_positions action code: close the position / cancel the order
TRANSPORT_ERROR = "RpcTransportError"  # the text of every failure of the connection itself


class UILost(Exception):
    """The UI went away during a call, or was replaced by a new one between two calls."""


def observation_space(window: int) -> Any:
    """Returns of the last `window` closes, position in -1..1, pnl and equity change (any
    value), elapsed fraction in 0..1."""
    low = np.full(window + 4, -np.inf)
    high = np.full(window + 4, np.inf)
    low[window], high[window] = -1.0, 1.0
    low[window + 3], high[window + 3] = 0.0, 1.0
    return Box(low, high, dtype=np.float64)


class AsyncTradingEnv:
    HOLD, BUY, SELL, CLOSE_ALL = range(4)
    ACTION_NAMES = ("hold", "buy", "sell", "close_all")
    n_actions = 4

    def __init__(self, engine: Any, *, config: Info | None = None, window: int = 8,
                 units: int = 10, sync: str = "auto", entry: str = "ticket",
                 episode_type: str = "train", max_steps: int | None = None,
                 stop_loss: float | None = 0.01, limit_offset: float = 0.001,
                 limit_ttl: int = 5, reconnect_timeout: float = 30.0) -> None:
        _check_choice("sync", sync, ("auto", "deferred", "eager"))
        _check_choice("entry", entry, ("ticket", "limit"))
        self.action_space = Discrete(self.n_actions)
        self.observation_space = observation_space(window)
        self.reconnect_timeout = reconnect_timeout
        self._own_config = config is None
        self._lost: str | None = None
        self.engine = engine
        self.config = config
        self.window = window
        self.units = units
        self.sync = sync
        self.entry = entry
        self.episode_type = episode_type
        self.max_steps = max_steps
        self.stop_loss = stop_loss
        self.limit_offset = limit_offset
        self.limit_ttl = limit_ttl
        self.observation_shape = (window + 4,)
        self.np_random = np.random.default_rng()
        self._advice: str | None = None
        self._closes: deque[float] = deque(maxlen=window + 1)
        self._ready = False

    # -- Gymnasium-style API -------------------------------------------------------------

    async def reset(self, seed: int | None = None,
                    options: Info | None = None) -> tuple[Obs, Info]:
        """Start an episode; returns (observation, info)."""
        if seed is not None:
            self.np_random = np.random.default_rng(seed)
        self._ready = False
        try:
            if self._lost is not None:
                await self.wait_for_ui(self.reconnect_timeout)
            return await self._reset(options or {})
        except UILost as e:
            # The UI went away during the reset itself: once more, on the next connection.
            self._forget_ui(str(e))
            await self.wait_for_ui(self.reconnect_timeout)
            return await self._reset(options or {})

    async def wait_for_ui(self, timeout: float) -> None:
        """Waits up to `timeout` seconds for a UI connection after a loss."""
        try:
            await self.engine.wait_connected(timeout)
        except RuntimeError as e:
            raise RuntimeError(f"no UI connected again within {timeout:g} s after the last one "
                               f"went away ({self._lost})") from e
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

    async def _reset(self, options: Info) -> tuple[Obs, Info]:
        if self.config is None:
            self.config = json.loads(await self._call(self.engine.get_rl_config))
        self._config: Info = self.config
        self._fields = {name: _index(self._config.get(name) or default)
                        for name, default in DEFAULT_FIELDS.items()}
        self._episode_type = options.get("episode_type", self.episode_type)
        self._sync = await self._resolve_sync(options.get("sync", self.sync))
        self._entry = options.get("entry", self.entry)
        _check_choice("entry", self._entry, ("ticket", "limit"))

        index = options.get("episode_index")
        if index is None:
            count = self._config.get(f"{self._episode_type}_episodes") or 1
            index = int(self.np_random.integers(count))
        selected = await self._call(self.engine.reset_episode, index, self._episode_type)

        self._snapshot = await self._call(self.engine.get_snapshot)
        ohlc = await self._call(self.engine.get_ohlc)
        self._closes.clear()
        if ohlc.size:
            self._closes.extend(ohlc[-(self.window + 1):, self._fields["ohlc_fields"]["close"]])
        self._tickets = np.empty((0, len(self._fields["ticket_fields"])))
        self._pending: set[int] = set()
        self._initial_equity = self._snap("equity")
        self._steps = 0
        self._ready = True
        info = {"episode_index": selected, "episode_type": self._episode_type,
                "sync": self._sync, "entry": self._entry, "equity": self._initial_equity}
        return self._observation(), info

    async def step(self, action: int) -> tuple[Obs, float, bool, bool, Info]:
        """Apply `action`, advance one step; returns (obs, reward, terminated, truncated, info)."""
        if not self._ready:
            raise RuntimeError("reset() must be awaited before step() (episode over or not started)")
        if not self.action_space.contains(action):
            raise ValueError(f"action must be in 0..{self.n_actions - 1} "
                             f"(an integer of {self.action_space}), got {action!r}")
        action = int(action)
        equity_before = self._snap("equity")
        info: Info = {"action": self.ACTION_NAMES[action]}
        try:
            await self._act(action, info)
            await self._advance()
        except UILost as e:
            return self._end_lost(str(e), info)
        self._steps += 1

        reward = self._snap("equity") - equity_before
        terminated = self._snap("done") == 1.0
        truncated = not terminated and self.max_steps is not None and self._steps >= self.max_steps
        info["equity"] = self._snap("equity")
        info["step"] = int(self._snap("step"))
        if terminated or truncated:
            try:
                summary = await self._call(self.engine.end_session)
                if summary.size:
                    names = self._config.get("summary_fields") or DEFAULT_FIELDS["summary_fields"]
                    info["summary"] = dict(zip(names, summary[0].tolist()))
                info["events"] = await self._call(self.engine.fetch_events)
            except UILost as e:
                self._forget_ui(str(e))
                info["ui_lost"] = str(e)
            self._ready = False
        return self._observation(), float(reward), bool(terminated), bool(truncated), info

    # -- internals -----------------------------------------------------------------------

    async def _call(self, method: Any, *args: Any, **kwargs: Any) -> Any:
        """One engine call; a failure of the connection becomes UILost."""
        try:
            return await method(*args, **kwargs)
        except RuntimeError as e:
            if str(e).startswith(TRANSPORT_ERROR):
                raise UILost(str(e)) from e
            raise

    def _forget_ui(self, reason: str) -> None:
        """After a loss: what was learnt from the UI is read again from the next one."""
        self._lost = reason
        self._ready = False
        if self._own_config:
            self.config = None  # the next UI may be configured otherwise
        self._advice = None

    def _end_lost(self, reason: str, info: Info) -> tuple[Obs, float, bool, bool, Info]:
        """Ends the episode as truncated after the UI went away; the next reset goes on."""
        self._forget_ui(reason)
        info["ui_lost"] = reason
        return self._observation(), 0.0, False, True, info

    async def _resolve_sync(self, sync: str) -> str:
        _check_choice("sync", sync, ("auto", "deferred", "eager"))
        if sync != "auto":
            return sync
        if self._advice is None:
            self._advice = await self._call(self.engine.get_sync_policy) or "deferred"
        return self._advice

    async def _act(self, action: int, info: Info) -> None:
        flat = self._snap("open_positions") == 0 and self._snap("pending_orders") == 0
        if action in (self.BUY, self.SELL) and flat:
            side = "buy" if action == self.BUY else "sell"
            reply = await self._open(side)
            fields = self._fields["order_reply_fields"]
            accepted = reply[fields["accepted"]] == 1.0
            if accepted and math.isnan(reply[fields["fill_price"]]):
                self._pending.add(int(reply[fields["id"]]))
            info["order"] = reply
        elif action == self.CLOSE_ALL:
            ids = [int(i) for i in self._tickets[:, self._fields["ticket_fields"]["id"]]]
            ids += sorted(self._pending - set(ids))
            if ids:
                info["closed"] = await self._call(self.engine.close_positions, ids,
                                                  [CLOSE_ACTION] * len(ids), [0.0] * len(ids))
            self._pending.clear()

    async def _open(self, side: str) -> Obs:
        close = self._snap("close")
        if self._entry == "ticket":
            # Ticket offsets are price distances from the entry.
            stop = close * self.stop_loss if self.stop_loss else None
            reply: Obs = await self._call(self.engine.place_ticket, side, self.units,
                                          stop_loss=stop)
            return reply
        # Order offsets are fractions of the fill price; the time limit counts steps.
        sign = -1.0 if side == "buy" else 1.0
        price = close * (1.0 + sign * self.limit_offset)
        reply = await self._call(self.engine.place_order, side, "limit", price, self.units,
                                 stop_loss=self.stop_loss or None,
                                 time_limit=float(self.limit_ttl))
        return reply

    async def _advance(self) -> None:
        before = self._position()
        if self._sync == "eager":
            tickets, self._snapshot = await self._call(self.engine.step_and_sync)
        else:
            await self._call(self.engine.step_next)
            self._snapshot = await self._call(self.engine.get_snapshot)
            # No open position means an empty list: skip the round trip.
            tickets = (await self._call(self.engine.get_ticket_list)
                       if self._snap("open_positions") > 0 else None)
        after = self._position()
        if before and after != (before[0] + 1, *before[1:]):
            raise UILost(f"the UI was replaced during the episode: its simulation went from "
                         f"step {before[0]} of episode {before[1:]} to step {after[0]} of {after[1:]}")
        # An empty matrix arrives with shape (0, 0); keep the column count for indexing.
        self._tickets = tickets if tickets is not None and tickets.size else self._tickets[:0]
        if self._snap("pending_orders") == 0:
            self._pending.clear()
        self._closes.append(self._snap("close"))

    def _position(self) -> tuple[int, ...]:
        """Step, episode index and episode type of the UI's simulation (those it reports)."""
        names = [n for n in ("step", "episode_index", "episode_type")
                 if n in self._fields["snapshot_fields"]]
        return tuple(int(self._snap(n)) for n in names) if names[:1] == ["step"] else ()

    def _snap(self, name: str) -> float:
        return float(self._snapshot[self._fields["snapshot_fields"][name]])

    def _observation(self) -> Obs:
        obs = np.zeros(self.observation_shape, dtype=np.float64)
        closes = np.fromiter(self._closes, dtype=np.float64)
        if closes.size >= 2:
            returns = 100.0 * np.diff(np.log(closes))
            obs[self.window - returns.size:self.window] = returns
        if self._tickets.size:
            cols = self._fields["ticket_fields"]
            net = float(np.sum(self._tickets[:, cols["side"]] * self._tickets[:, cols["units"]]))
            obs[self.window] = np.sign(net)
        scale = 100.0 / self._initial_equity
        obs[self.window + 1] = self._snap("unrealised_pnl") * scale
        obs[self.window + 2] = (self._snap("equity") - self._initial_equity) * scale
        length = self._config.get("episode_length") or 1
        obs[self.window + 3] = min(self._snap("step") / length, 1.0)
        return obs


def _index(names: list[str]) -> dict[str, int]:
    return {name: i for i, name in enumerate(names)}


def _check_choice(name: str, value: str, choices: tuple[str, ...]) -> None:
    if value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(choices)}; got {value!r}")
