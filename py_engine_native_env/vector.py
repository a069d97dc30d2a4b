"""N trading environments stepped together, with Gymnasium's vector API.

    envs = VectorTradingEnv(8)                # 8 engines, one headless Node process for all
    obs, infos = envs.reset(seed=1)           # obs: float64 (8, window + 4)
    obs, rewards, terminations, truncations, infos = envs.step(envs.action_space.sample())
    envs.close()

A step sends all N requests before it waits for any reply (through the engine's EngineBatch when
it has one: one native call for the N), and computes observations, rewards and flags as arrays
across the N. Asynchronously, `send(actions, env_ids)` starts steps and `recv()` returns the
environments that are ready, at least `batch_size` of them, with their ids:

    envs = VectorTradingEnv(16, batch_size=8)
    envs.reset(seed=1)
    envs.send(envs.action_space.sample())
    while training:
        obs, rewards, terminations, truncations, infos, env_ids = envs.recv()
        envs.send(policy(obs), env_ids)       # a slow environment holds up no other

Autoreset is Gymnasium's "next step" mode: the
step after an environment's episode ended resets it instead, ignoring its action and returning
the first observation of the new episode with reward 0, terminated and truncated False, and the
reset's info. infos is Gymnasium's dict of per-environment values: infos[key] is an array of N
(object arrays for values that are not numbers) and infos["_" + key] marks the environments that
set it.

At an episode's end, infos["episode"] holds Gymnasium's episode statistics ({"r": returns,
"l": lengths, "t": wall times}, arrays of N) with the mask infos["_episode"].

A UI that goes away ends only the episodes of the environments it served, once each, as
truncated with info["ui_lost"]. The UI process this environment started is started again at
once when it died (see Backend.revive). An environment's autoreset step waits for its UI to
come back (up to `reconnect_timeout` seconds from the loss, then RuntimeError) and resets it
there; it never reports the loss again.
"""

from __future__ import annotations

import time
from typing import TYPE_CHECKING, Any, Sequence

import numpy as np

from ._backend import Backend, BackendOwner, check_render_mode
from .async_env import AsyncTradingEnv, Info, Obs
from .episodes import Episodes, Rows
from .options import EnvOptions
from .protocol import UILost, all_done, is_ui_loss, open_batch, stepped
from .env import screenshot_array
from .spaces import HAVE_GYMNASIUM, Box, MultiDiscrete, gymnasium

class _FallbackVectorEnv:
    """What gymnasium.vector.VectorEnv gives: unwrapped, context use."""

    metadata: Info = {}
    render_mode: str | None = None

    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self, **kwargs: Any) -> None:
        pass

    @property
    def unwrapped(self) -> Any:
        return self


if TYPE_CHECKING or not HAVE_GYMNASIUM:
    _VectorBase = _FallbackVectorEnv
    _METADATA: Info = {"render_modes": ["human", "rgb_array"], "autoreset_mode": "NextStep"}
else:  # pragma: no cover - depends on the machine
    _VectorBase = gymnasium.vector.VectorEnv
    _METADATA = {"render_modes": ["human", "rgb_array"],
                 "autoreset_mode": gymnasium.vector.AutoresetMode.NEXT_STEP}

Result = tuple[Obs, float, bool, bool, Info]  # one environment's step


class VectorTradingEnv(BackendOwner, _VectorBase):
    """`num_envs` TradingEnv-like environments; keywords (or an EnvOptions as `options`) as
    for TradingEnv. `batch_size` (default all) is the least number of environments recv()
    returns. render_mode "human" shows environment 0 as the page in Chromium ("rgb_array":
    in headless Chromium, render() returns its pixels); the others stay headless under Node.
    """

    metadata: Info = _METADATA

    def __init__(self, num_envs: int = 8, render_mode: str | None = None, *,
                 batch_size: int | None = None, options: EnvOptions | None = None,
                 **keywords: Any) -> None:
        if int(num_envs) < 1:
            raise ValueError(f"num_envs must be at least 1; got {num_envs!r}")
        check_render_mode(render_mode)
        self.num_envs = n = int(num_envs)
        self.batch_size = n if batch_size is None else int(batch_size)
        if not 1 <= self.batch_size <= n:
            raise ValueError(f"batch_size must be in 1..{n}; got {batch_size!r}")
        self.render_mode = render_mode
        self.options = EnvOptions.build(options, **keywords)
        self._backend = Backend(n, self.options, render_mode)
        try:
            self._episodes = Episodes(n, self.options.window)
            self.envs = [AsyncTradingEnv(engine, options=self.options, episodes=self._episodes,
                                         row=i, revive=self._backend.revive)
                         for i, engine in enumerate(self._backend.engines)]
            self._batch = open_batch(self._backend.engines,
                                     wrapped=self.options.engine_wrapper is not None)
        except BaseException:
            self._backend.close()
            raise
        self.urls = self._backend.urls
        self.single_action_space = self.envs[0].action_space
        self.single_observation_space = self.envs[0].observation_space
        self.action_space = MultiDiscrete(np.full(n, self.single_action_space.n))
        low = self.single_observation_space.low
        high = self.single_observation_space.high
        self.observation_space = Box(np.broadcast_to(low, (n, *low.shape)),
                                     np.broadcast_to(high, (n, *high.shape)), dtype=np.float64)
        self._all = np.arange(n, dtype=np.intp)
        self._autoreset = np.zeros(n, dtype=bool)
        self._lost_since: list[float | None] = [None] * n
        self._in_flight = np.zeros(n, dtype=bool)
        self._actions = np.zeros(n, dtype=np.int64)
        self._settled: dict[int, Result] = {}  # rows whose step ended before its reply
        self._extra: dict[int, Info] = {}  # infos of orders placed for a step under way
        self._deferred: dict[int, tuple[Any, Obs]] = {}  # rows stepped call by call
        self._unsent: list[int] = []  # rows step() steps together
        self._obs = np.zeros(self.observation_space.shape, dtype=np.float64)
        self._ready = False

    # -- Gymnasium's vector API ----------------------------------------------------------

    def reset(self, *, seed: int | Sequence[int | None] | None = None,
              options: Info | None = None) -> tuple[Obs, Info]:
        """Resets every environment; an int seed gives environment i the seed seed + i."""
        self._check_open()
        if seed is None or isinstance(seed, (int, np.integer)):
            seeds = [None if seed is None else int(seed) + i for i in range(self.num_envs)]
        else:
            seeds = list(seed)
            if len(seeds) != self.num_envs:
                raise ValueError(f"{len(seeds)} seeds for {self.num_envs} environments")
        if seed is not None:
            self.action_space.seed(seeds[0])
        self._ready = False
        self._drain()
        results = self._backend.gather(
            env.reset(seed=s, options=options) for env, s in zip(self.envs, seeds))
        self._autoreset[:] = False
        self._lost_since = [None] * self.num_envs
        infos: Info = {}
        for i, (obs, info) in enumerate(results):
            self._obs[i] = obs
            infos = _add_info(infos, info, i, self.num_envs)
        self._ready = True
        return self._obs.copy(), infos

    def step(self, actions: Any) -> tuple[Obs, Obs, Obs, Obs, Info]:
        actions = self._check_actions(actions, self._all)
        if self._in_flight.any():
            raise RuntimeError("step() while steps started by send() are under way: recv() "
                               "them first")
        obs, rewards, terminated, truncated, infos, _ = self._backend.drive(
            self._round(self._all, actions, together=True))
        return obs, rewards, terminated, truncated, infos

    def send(self, actions: Any, env_ids: Any = None) -> None:
        """Starts a step of the environments `env_ids` (default all) with `actions` (one per
        id), without waiting for their replies; recv() returns them."""
        ids = self._all if env_ids is None else np.asarray(env_ids, dtype=np.intp).reshape(-1)
        if ids.size != np.unique(ids).size or ((ids < 0) | (ids >= self.num_envs)).any():
            raise ValueError(f"env_ids must be distinct ids in 0..{self.num_envs - 1}; "
                             f"got {env_ids!r}")
        actions = self._check_actions(actions, ids)
        if self._in_flight[ids].any():
            raise RuntimeError(f"environments {ids[self._in_flight[ids]].tolist()} have a step "
                               f"under way: recv() it first")
        self._backend.drive(self._send(ids, actions, together=False))

    def recv(self) -> Any:
        """Steps that send() started: (obs, rewards, terminations, truncations, infos,
        env_ids) of at least `batch_size` environments (fewer when fewer are under way),
        those whose replies came first."""
        self._check_open()
        if not self._in_flight.any():
            raise RuntimeError("recv() without a step under way: send() first")
        return self._backend.drive(self._recv(self.batch_size))

    def render(self) -> Obs | None:
        """Environment 0's page as a uint8 array (height, width, 3) for "rgb_array"; None
        otherwise."""
        if self.render_mode != "rgb_array":
            return None
        self._check_open()
        return screenshot_array(self._backend.browser)

    def close(self, **kwargs: Any) -> None:
        """Stops the UI process, closes every engine (their ports are free again). Idempotent."""
        if hasattr(self, "_backend"):
            self._backend.close()
        self._ready = False

    # -- internals -----------------------------------------------------------------------

    def _check_actions(self, actions: Any, ids: Rows) -> Any:
        self._check_open()
        if not self._ready:
            raise RuntimeError("step() needs a reset() first")
        actions = np.asarray(actions)
        full = actions
        if ids.size != self.num_envs:  # checked as a full vector: zeros elsewhere
            full = np.zeros(self.num_envs, dtype=actions.dtype if actions.size else np.int64)
            if actions.shape == ids.shape:
                full[ids] = actions
            else:
                full = actions
        if not self.action_space.contains(full):
            raise ValueError(f"actions {actions!r} are outside the action space "
                             f"{self.action_space}")
        return actions.astype(np.int64)

    def _drain(self) -> None:
        """Forgets steps under way (a reset supersedes them), taking their replies first."""
        if self._in_flight.any():
            self._backend.drive(self._recv(self.num_envs))

    async def _round(self, rows: Rows, actions: Any, together: bool) -> Any:
        await self._send(rows, actions, together)
        return await self._recv(len(rows))

    async def _send(self, rows: Rows, actions: Any, together: bool) -> None:
        self._in_flight[rows] = True
        self._actions[rows] = actions
        try:
            eager = await self._start(rows, actions)
        except BaseException:
            self._forget(rows)
            raise
        if together:
            self._unsent = eager
        elif eager:
            self._batch.send(eager)

    async def _start(self, rows: Rows, actions: Any) -> list[int]:
        """Orders where the actions ask for them, and the steps that are not the batch's;
        returns the rows the batch steps."""
        orders: dict[int, tuple[int, Any]] = {}
        for row, action in zip(rows.tolist(), actions.tolist()):
            if self._autoreset[row]:
                self._settled[row] = await self._autoreset_one(row)
            elif self.envs[row]._wants_order(action):
                orders[row] = action, self.envs[row]._order(action)
        # Every order is answered before the steps go out (the engine spins for a quick reply:
        # cheaper than handing the orders to the workers and waking up for each).
        await all_done([future for _, future in orders.values()])
        for row, (action, future) in orders.items():
            env = self.envs[row]
            info: Info = {"action": env.ACTION_NAMES[action]}
            error = future.exception()
            if error is None:
                env._ordered(action, future.result(), info)
                self._extra[row] = info
            elif is_ui_loss(error):
                self._settled[row] = self._lost(row, str(error), info)
            else:
                raise error
        eager: list[int] = []
        for row in rows.tolist():
            env = self.envs[row]
            if row in self._settled:
                continue
            if env._sync == "eager":
                eager.append(row)
                continue
            try:
                self._deferred[row] = await env._advance()
            except UILost as e:
                self._settled[row] = self._lost(row, str(e), self._extra.pop(row, {}))
        return eager

    def _forget(self, rows: Any) -> None:
        """Steps of `rows` that failed: no longer under way, their partial results dropped."""
        for row in np.asarray(rows).tolist():
            self._in_flight[row] = False
            self._settled.pop(row, None)
            self._extra.pop(row, None)
            self._deferred.pop(row, None)

    async def _recv(self, wanted: int) -> Any:
        if self._unsent:
            rows, self._unsent = self._unsent, []
            snapshots, tickets, errors = await self._batch.step_and_sync(rows)
        else:
            need = wanted - len(self._settled) - len(self._deferred)
            outcomes = await self._batch.recv(max(0, need)) if self._batch.outstanding else []
            rows = [i for i, _ in outcomes]
            snapshots, tickets, errors = stepped([o for _, o in outcomes])
        for row, (t, snapshot) in self._deferred.items():
            rows.append(row)
            snapshots = np.vstack((snapshots, snapshot[None])) if len(snapshots) else snapshot[None]
            tickets.append(t)
            errors.append(None)
        self._deferred = {}
        return await self._settle(np.array(rows, dtype=np.intp), snapshots, tickets, errors)

    async def _settle(self, rows: Rows, snapshots: Obs, tickets: list[Any],
                      errors: list[Any]) -> Any:
        """The steps of `rows` whose replies are in, with those that ended before, as arrays
        ordered by environment id."""
        envs = self.envs
        failed = [k for k, e in enumerate(errors) if e is not None]
        if failed:
            for k in failed:
                if not is_ui_loss(errors[k]):
                    self._forget([*rows, *self._settled])
                    raise errors[k]
            for k in failed:
                row = int(rows[k])
                self._settled[row] = self._lost(row, str(errors[k]), self._extra.pop(row, {}))
            keep = [k for k in range(len(rows)) if errors[k] is None]
            rows, snapshots, tickets = rows[keep], snapshots[keep], [tickets[k] for k in keep]
        if not len(rows):  # every environment of the round ended before its reply
            snapshots = np.zeros((0, self._episodes.snapshots.shape[1]))
        replaced = self._episodes.replaced(self._selection(rows), snapshots)
        if replaced is not None:
            for k, reason in enumerate(replaced):
                if reason is not None:
                    row = int(rows[k])
                    self._settled[row] = self._lost(row, reason, self._extra.pop(row, {}))
            keep = [k for k, r in enumerate(replaced) if r is None]
            rows, snapshots, tickets = rows[keep], snapshots[keep], [tickets[k] for k in keep]

        selection = self._selection(rows)
        rewards, terminated, truncated = self._episodes.advance(selection, snapshots, tickets)
        for row, t in zip(rows.tolist(), tickets):
            envs[row]._took_step(t)
        for k in np.flatnonzero(terminated | truncated).tolist():
            row = int(rows[k])
            await envs[row]._end_episode(self._extra.setdefault(row, {}))
            if "ui_lost" in self._extra[row]:
                self._lost_since[row] = time.monotonic()

        settled = sorted(self._settled.items())
        stepped_rows = rows
        m, count = len(stepped_rows), len(stepped_rows) + len(settled)
        if settled or not isinstance(selection, slice):
            rows = np.concatenate((rows, np.array([r for r, _ in settled], dtype=np.intp)))
            order: Any = np.argsort(rows, kind="stable")
            position = np.empty(count, dtype=np.intp)
            position[order] = np.arange(count)  # where each entry goes in the id order
        else:  # every environment stepped, in id order
            order, position = slice(None), self._all
        obs = np.empty((count, self._episodes.window + 4))
        obs[:m] = self._episodes.obs[selection]
        out_rewards = np.zeros(count)
        out_terminated = np.zeros(count, dtype=bool)
        out_truncated = np.zeros(count, dtype=bool)
        out_rewards[:m], out_terminated[:m], out_truncated[:m] = rewards, terminated, truncated
        for k, (_, result) in enumerate(settled, m):
            obs[k], out_rewards[k], out_terminated[k], out_truncated[k] = result[:4]

        infos: Info = {}
        if m:
            where = position[:m]
            names = np.array(AsyncTradingEnv.ACTION_NAMES, dtype=object)
            step_col, eq_col = self._episodes.cols["step"], self._episodes.cols["equity"]
            infos["action"] = np.full(count, None, dtype=object)
            infos["action"][where] = names[self._actions[stepped_rows]]
            infos["equity"] = np.zeros(count)
            infos["equity"][where] = snapshots[:, eq_col]
            infos["step"] = np.zeros(count, dtype=np.int64)
            infos["step"][where] = snapshots[:, step_col]
            marks = np.zeros(count, dtype=bool)
            marks[where] = True
            infos["_action"], infos["_equity"], infos["_step"] = marks, marks.copy(), marks.copy()
        for k, row in enumerate(stepped_rows.tolist()):
            extra = self._extra.pop(row, None)
            if extra:
                infos = _add_info(infos, extra, int(position[k]), count)
        for k, (_, result) in enumerate(settled, m):
            infos = _add_info(infos, result[4], int(position[k]), count)
        self._settled = {}
        self._extra = {}

        ids = rows[order]
        obs = obs[order]
        self._obs[ids] = obs  # what an environment waiting for its UI shows meanwhile
        self._in_flight[ids] = False
        self._autoreset[ids] = (out_terminated | out_truncated)[order]
        return (obs, out_rewards[order], out_terminated[order], out_truncated[order], infos,
                ids)

    def _selection(self, rows: Rows) -> Rows:
        """`rows` as a slice when they are all the rows in order (views instead of copies)."""
        if len(rows) == self.num_envs and (rows == self._all).all():
            return slice(None)
        return rows

    def _lost(self, row: int, reason: str, info: Info) -> Result:
        """Environment `row` lost its UI during a step: its episode ends as truncated."""
        self._lost_since[row] = time.monotonic()
        info.setdefault("action", AsyncTradingEnv.ACTION_NAMES[int(self._actions[row])])
        return self.envs[row]._end_lost(reason, info)

    async def _autoreset_one(self, i: int) -> Result:
        env = self.envs[i]
        if env.lost is not None and not await env.ui_connected():
            waited = time.monotonic() - (self._lost_since[i] or time.monotonic())
            try:
                await env.wait_for_ui(max(env.reconnect_timeout - waited, 0.0), waited=waited)
            except RuntimeError as e:
                raise RuntimeError(f"environment {i}: {e}") from e.__cause__
        self._lost_since[i] = None
        obs, info = await env.reset()
        return obs, 0.0, False, False, info


def _add_info(infos: Info, info: Info, i: int, n: int) -> Info:
    """Gymnasium's layout: infos[key][i] = info[key], infos["_" + key][i] = True."""
    for key, value in info.items():
        if isinstance(value, dict):
            infos[key] = _add_info(infos.get(key, {}), value, i, n)
        else:
            if key not in infos:
                if isinstance(value, (bool, np.bool_)):
                    infos[key] = np.zeros(n, dtype=bool)
                elif isinstance(value, (int, np.integer)):
                    infos[key] = np.zeros(n, dtype=np.int64)
                elif isinstance(value, (float, np.floating)):
                    infos[key] = np.zeros(n, dtype=np.float64)
                else:
                    infos[key] = np.full(n, None, dtype=object)
            infos[key][i] = value
        infos.setdefault("_" + key, np.zeros(n, dtype=bool))[i] = True
    return infos
