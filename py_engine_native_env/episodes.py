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

from typing import Any, Sequence

import numpy as np
from numpy.typing import NDArray

Rows = NDArray[np.intp]
Floats = NDArray[np.float64]
Flags = NDArray[np.bool_]


class Episodes:
    def __init__(self, count: int, window: int) -> None:
        self.count = count
        self.window = window
        self.closes = np.full((count, window + 1), np.nan)  # oldest first, NaN: no history
        self.snapshots = np.zeros((count, 0))
        self.initial_equity = np.ones(count)
        self.length = np.ones(count)  # steps of the episode, from the UI's configuration
        self.max_steps = np.full(count, np.inf)
        self.position = np.zeros(count)
        self.steps = np.zeros(count, dtype=np.int64)
        self.begun = np.zeros(count, dtype=bool)
        self.cols: dict[str, int] = {}  # snapshot column by field name, shared by the rows
        self._ticket_cols = (1, 2)  # side, units

    def begin(self, row: int, snapshot: Floats, closes: Floats, *, cols: dict[str, int],
              ticket_cols: dict[str, int], length: float, max_steps: int | None) -> None:
        """A new episode in `row`: its first snapshot and the closes before it."""
        others = self.begun.copy()
        others[row] = False
        if snapshot.size != self.snapshots.shape[1] or cols != self.cols:
            if others.any():
                raise RuntimeError("the UIs of one vector environment must share their "
                                   "snapshot layout")
            self.snapshots = np.zeros((self.count, snapshot.size))
            self.cols = cols
        self._ticket_cols = (ticket_cols["side"], ticket_cols["units"])
        self.snapshots[row] = snapshot
        self.closes[row] = np.nan
        if closes.size:
            self.closes[row, self.window + 1 - closes.size:] = closes
        self.initial_equity[row] = snapshot[cols["equity"]]
        self.length[row] = length or 1
        self.max_steps[row] = np.inf if max_steps is None else max_steps
        self.position[row] = 0.0
        self.steps[row] = 0
        self.begun[row] = True

    def snap(self, row: int, name: str) -> float:
        return float(self.snapshots[row, self.cols[name]])

    def replaced(self, rows: Rows, snapshots: Floats) -> list[str | None]:
        """Per row, why the snapshot cannot follow the row's last one (the UI's simulation is
        not the one stepped before: a UI replaced between two steps), or None."""
        names = [n for n in ("step", "episode_index", "episode_type") if n in self.cols]
        if names[:1] != ["step"]:
            return [None] * len(rows)
        idx = [self.cols[n] for n in names]
        before, after = self.snapshots[rows][:, idx], snapshots[:, idx]
        expected = before.copy()
        expected[:, 0] += 1
        bad = np.flatnonzero((after != expected).any(axis=1))
        reasons: list[str | None] = [None] * len(rows)
        for k in bad:
            b, a = tuple(int(v) for v in before[k]), tuple(int(v) for v in after[k])
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
        self.closes[rows] = np.concatenate((self.closes[rows, 1:], snapshots[:, close, None]),
                                           axis=1)
        side, units = self._ticket_cols
        position = np.zeros(len(rows))
        for k, t in enumerate(tickets):
            if t is not None and t.size:
                position[k] = np.sign(np.sum(t[:, side] * t[:, units]))
        self.position[rows] = position
        self.steps[rows] += 1
        terminated = snapshots[:, self.cols["done"]] == 1.0
        truncated = ~terminated & (self.steps[rows] >= self.max_steps[rows])
        return rewards, terminated, truncated

    def observe(self, rows: Rows) -> Floats:
        w = self.window
        obs = np.zeros((len(rows), w + 4))
        returns = 100.0 * np.diff(np.log(self.closes[rows]), axis=1)
        returns[np.isnan(returns)] = 0.0
        obs[:, :w] = returns
        obs[:, w] = self.position[rows]
        snaps = self.snapshots[rows]
        initial = self.initial_equity[rows]
        scale = 100.0 / initial
        obs[:, w + 1] = snaps[:, self.cols["unrealised_pnl"]] * scale
        obs[:, w + 2] = (snaps[:, self.cols["equity"]] - initial) * scale
        obs[:, w + 3] = np.minimum(snaps[:, self.cols["step"]] / self.length[rows], 1.0)
        return obs
