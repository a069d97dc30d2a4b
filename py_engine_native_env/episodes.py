"""The numbers a step reads and writes for N episodes, one row each, updated as arrays: the
last snapshot, recent closes, position, steps taken; observations, rewards and ends of
episodes computed across the rows at once (a single environment is one row).

Observation of a row: float64 vector of `window` + 4 values
    [0 .. window-1]  log returns of the last `window` closes in percent, oldest first
                     (0 where the episode has less history: the leading values)
    [window + 0]     position: +1 long, -1 short, 0 flat
    [window + 1]     unrealised pnl, percent of the initial equity
    [window + 2]     equity change since the episode started, percent of the initial equity
    [window + 3]     fraction of the episode elapsed (0 at reset, 1 at its last step)
"""

from __future__ import annotations

import time
from typing import Any, Sequence

import numpy as np
from numpy.typing import NDArray

Rows = Any  # row indices (an index array) or a slice of rows
Floats = NDArray[np.float64]
Flags = NDArray[np.bool_]


class Episodes:
    def __init__(self, count: int, window: int) -> None:
        self.count = count
        self.window = window
        self.obs = np.zeros((count, window + 4))  # the observation of each row, kept current
        self.snapshots = np.zeros((count, 0))
        self.last_log = np.zeros(count)  # log of each row's last close
        self._no_history: set[int] = set()  # rows begun without a close
        self.initial_equity = np.ones(count)
        self.scale = np.ones(count)  # 100 / initial equity: percent of it
        self.length = np.ones(count)  # steps of the episode, from the UI's configuration
        self.max_steps = np.full(count, np.inf)
        self._limited = False  # a row has max_steps
        self.steps = np.zeros(count, dtype=np.int64)
        self.begun = np.zeros(count, dtype=bool)
        # What Gymnasium's episode statistics report: return, steps and start time of a row.
        self.returns = np.zeros(count)
        self.lengths = np.zeros(count, dtype=np.int64)
        self.started = np.zeros(count)
        self.cols: dict[str, int] = {}  # snapshot column by field name, shared by the rows
        self._where = np.empty(0, dtype=np.intp)  # columns placing a snapshot: step, episode
        self._ticket_cols = (1, 2)  # side, units

    def begin(self, row: int, snapshot: Floats, closes: Floats, *, cols: dict[str, int],
              ticket_cols: dict[str, int], length: float, max_steps: int | None) -> None:
        """A new episode in `row`: its first snapshot and up to `window` + 1 closes before it
        (the last of them its current one)."""
        others = self.begun.copy()
        others[row] = False
        if snapshot.size != self.snapshots.shape[1] or cols != self.cols:
            if others.any():
                raise RuntimeError("the UIs of one vector environment must share their "
                                   "snapshot layout")
            self.snapshots = np.zeros((self.count, snapshot.size))
            self.cols = cols
            names = [n for n in ("step", "episode_index", "episode_type") if n in cols]
            self._where = np.array([cols[n] for n in names] if names[:1] == ["step"] else [],
                                   dtype=np.intp)
        self._ticket_cols = (ticket_cols["side"], ticket_cols["units"])
        self.snapshots[row] = snapshot
        w = self.window
        self.obs[row] = 0.0
        if closes.size >= 2:
            returns = 100.0 * np.diff(np.log(closes))
            self.obs[row, w - returns.size:w] = returns
        self.last_log[row] = np.log(closes[-1]) if closes.size else 0.0
        if closes.size:
            self._no_history.discard(row)
        else:
            self._no_history.add(row)
        self.initial_equity[row] = initial = snapshot[cols["equity"]]
        self.scale[row] = 100.0 / initial
        self.length[row] = length or 1
        self.max_steps[row] = np.inf if max_steps is None else max_steps
        self._limited = bool(np.isfinite(self.max_steps).any())
        self.steps[row] = 0
        self.begun[row] = True
        self.returns[row] = 0.0
        self.lengths[row] = 0
        self.started[row] = time.perf_counter()
        self._describe(slice(row, row + 1), snapshot[None], np.zeros(1))

    def statistics(self, row: int) -> dict[str, Any]:
        """The episode of `row` so far as Gymnasium's episode statistics: return "r", length
        "l" (steps) and wall time "t" (seconds since its reset)."""
        return {"r": float(self.returns[row]), "l": int(self.lengths[row]),
                "t": round(time.perf_counter() - float(self.started[row]), 6)}

    def snap(self, row: int, name: str) -> float:
        return float(self.snapshots[row, self.cols[name]])

    def replaced(self, rows: Rows, snapshots: Floats) -> list[str | None] | None:
        """None when every snapshot follows its row's last one; else per row, why one cannot
        (the UI's simulation is not the one stepped before: a UI replaced between two steps)
        or None."""
        if not self._where.size:
            return None
        before = self.snapshots[rows][:, self._where]
        after = snapshots[:, self._where]
        before[:, 0] += 1
        if after.tobytes() == before.tobytes():  # the usual case, told at the cost of a copy
            return None
        bad = (after != before).any(axis=1)
        if not bad.any():
            return None
        reasons: list[str | None] = [None] * len(snapshots)
        for k in np.flatnonzero(bad):
            a = tuple(int(v) for v in after[k])
            b = (int(before[k, 0]) - 1, *(int(v) for v in before[k, 1:]))
            reasons[k] = (f"the UI was replaced during the episode: its simulation went from "
                          f"step {b[0]} of episode {b[1:]} to step {a[0]} of {a[1:]}")
        return reasons

    def advance(self, rows: Rows, snapshots: Floats,
                tickets: Sequence[Any]) -> tuple[Floats, Flags, Flags]:
        """Takes one step's snapshots (and ticket lists) into `rows`; returns the rewards (the
        change of equity), terminated (the UI's episode is done) and truncated (`max_steps`
        taken before that)."""
        eq, close = self.cols["equity"], self.cols["close"]
        rewards = snapshots[:, eq] - self.snapshots[rows, eq]
        self.snapshots[rows] = snapshots
        self.returns[rows] += rewards
        self.lengths[rows] += 1
        side, units = self._ticket_cols
        position = np.zeros(len(snapshots))
        for k, t in enumerate(tickets):
            if t is not None and t.size:
                position[k] = np.sign(np.sum(t[:, side] * t[:, units]))
        w = self.window
        obs = self.obs[rows]  # a copy for an index array, a view for a slice
        obs[:, :w - 1] = obs[:, 1:w]
        logs = np.log(snapshots[:, close])
        obs[:, w - 1] = 100.0 * (logs - self.last_log[rows])
        if self._no_history:
            self._first_returns(rows, obs)
        self.obs[rows] = obs
        self.last_log[rows] = logs
        self._describe(rows, snapshots, position)
        terminated = snapshots[:, self.cols["done"]] == 1.0
        if not self._limited:
            return rewards, terminated, np.zeros(len(terminated), dtype=bool)
        self.steps[rows] += 1
        truncated = ~terminated & (self.steps[rows] >= self.max_steps[rows])
        return rewards, terminated, truncated

    def _first_returns(self, rows: Rows, obs: Floats) -> None:
        """A row begun without a close has no return on its first step."""
        ids = np.arange(self.count)[rows].tolist()
        for k, row in enumerate(ids):
            if row in self._no_history:
                obs[k, self.window - 1] = 0.0
                self._no_history.discard(row)

    def _describe(self, rows: Rows, snapshots: Floats, position: Floats) -> None:
        """The observation's last four values: position, pnl, equity change, time elapsed."""
        w, cols = self.window, self.cols
        scale = self.scale[rows]
        obs = self.obs[rows]
        obs[:, w] = position
        obs[:, w + 1] = snapshots[:, cols["unrealised_pnl"]] * scale
        obs[:, w + 2] = (snapshots[:, cols["equity"]] - self.initial_equity[rows]) * scale
        obs[:, w + 3] = np.minimum(snapshots[:, cols["step"]] / self.length[rows], 1.0)
        self.obs[rows] = obs

    def observe(self, rows: Rows) -> Floats:
        """The observations of `rows` (a copy)."""
        obs: Floats = self.obs[rows]
        return obs.copy() if isinstance(rows, slice) else obs
