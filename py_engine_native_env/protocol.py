"""The UI's side of an environment step: the field layouts of its replies, how a lost UI shows
in a failed call, and the calls that go out to N engines at once.

A batch (`open_batch`) sends one request to each of a group of engines before it waits for any
reply. It is the engine's own EngineBatch when the extension has one and the engines are its
own (one native call for the group, the interpreter lock released once); otherwise, and always
for wrapped engines (whose wrapper must see every call), the ordinary per-engine calls, whose
futures are awaited together.
"""

from __future__ import annotations

import asyncio
from typing import Any, Sequence

import numpy as np

import py_engine_native

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


class UILost(Exception):
    """The UI went away during a call, or was replaced by a new one between two calls."""


def is_ui_loss(error: BaseException) -> bool:
    """True when a call failed because the connection to the UI failed (or timed out), not
    because the UI refused the request."""
    return isinstance(error, py_engine_native.RpcTransportError)


async def call(method: Any, *args: Any, **kwargs: Any) -> Any:
    """One engine call; a failure of the connection becomes UILost."""
    try:
        return await method(*args, **kwargs)
    except RuntimeError as e:
        if is_ui_loss(e):
            raise UILost(str(e)) from e
        raise


async def outcome(future: Any) -> Any:
    """What a call's future gives; a failure of the connection becomes UILost."""
    try:
        return await future
    except RuntimeError as e:
        if is_ui_loss(e):
            raise UILost(str(e)) from e
        raise


async def all_done(futures: Sequence[Any]) -> None:
    """Waits until every one of `futures` is done (no wait at all when they are)."""
    waiting = [f for f in futures if not f.done()]
    if waiting:
        await asyncio.wait(waiting)


def layouts(config: dict[str, Any]) -> dict[str, dict[str, int]]:
    """Column index by field name of every reply layout, from the UI's configuration."""
    return {name: {field: i for i, field in enumerate(config.get(name) or default)}
            for name, default in DEFAULT_FIELDS.items()}


def open_batch(engines: Sequence[Any], *, wrapped: bool = False) -> FutureBatch:
    """The engines' batch; per-engine calls for `wrapped` engines, whose wrapper must see
    every call."""
    native = getattr(py_engine_native, "EngineBatch", None)
    if native is not None and not wrapped and all(isinstance(e, py_engine_native.NativeEngineAsync)
                                  for e in engines):
        return NativeBatch(engines, native)
    return FutureBatch(engines)


Outcome = tuple[int, Any]  # (engine index, the call's result or the exception it raised)


class FutureBatch:
    """Per-engine calls: every request out, then the futures awaited together."""

    def __init__(self, engines: Sequence[Any]) -> None:
        self.engines = list(engines)
        self._futures: dict[int, Any] = {}

    @property
    def outstanding(self) -> int:
        return len(self._futures)

    def send(self, ids: Sequence[int], fn: str = "step_and_sync") -> None:
        for i in ids:
            try:
                self._futures[int(i)] = getattr(self.engines[i], fn)()
            except RuntimeError as e:  # refused at once: an outcome like any other
                failed = asyncio.get_running_loop().create_future()
                failed.set_exception(e)
                self._futures[int(i)] = failed

    async def recv(self, min_ready: int | None = None) -> list[Outcome]:
        """At least `min_ready` outcomes (all outstanding ones by default)."""
        need = len(self._futures) if min_ready is None else min(min_ready, len(self._futures))
        done = [i for i, f in self._futures.items() if f.done()]
        while len(done) < need:
            waiting = [f for f in self._futures.values() if not f.done()]
            await asyncio.wait(waiting, return_when=asyncio.FIRST_COMPLETED)
            done = [i for i, f in self._futures.items() if f.done()]
        return [(i, _outcome(self._futures.pop(i))) for i in done]

    async def step_and_sync(self, ids: Sequence[int]) -> tuple[Any, list[Any], list[Any]]:
        """Steps the engines `ids`: their snapshots as rows (in the order of `ids`), their
        ticket lists, and per engine None or the exception its call raised."""
        self.send(ids)
        outcomes = dict(await self.recv())
        return stepped([outcomes[int(i)] for i in ids])


class NativeBatch(FutureBatch):
    """The engine's EngineBatch: one native call sends the group's requests and polls their
    sockets together."""

    def __init__(self, engines: Sequence[Any], native: Any) -> None:
        super().__init__(engines)
        self._batch = native(self.engines)
        self._sent = 0

    @property
    def outstanding(self) -> int:
        return self._sent

    def send(self, ids: Sequence[int], fn: str = "step_and_sync") -> None:
        self._batch.send([int(i) for i in ids], fn)
        self._sent += len(ids)

    async def recv(self, min_ready: int | None = None) -> list[Outcome]:
        outcomes: list[Outcome] = self._batch.recv(min_ready)
        self._sent -= len(outcomes)
        return outcomes

    async def step_and_sync(self, ids: Sequence[int]) -> tuple[Any, list[Any], list[Any]]:
        if len(ids) != len(self.engines) or self._sent:
            return await super().step_and_sync(ids)
        snapshots, tickets, errors = self._batch.step_and_sync()
        n = len(self.engines)
        return (snapshots, tickets if tickets is not None else [None] * n,
                errors if errors is not None else [None] * n)


def _outcome(future: Any) -> Any:
    error = future.exception()
    return error if error is not None else future.result()


def stepped(outcomes: list[Any]) -> tuple[Any, list[Any], list[Any]]:
    """Outcomes of step_and_sync requests as (snapshot rows, ticket lists, exceptions), the
    shape of EngineBatch.step_and_sync()."""
    errors = [o if isinstance(o, BaseException) else None for o in outcomes]
    width = max((o[1].size for o in outcomes if not isinstance(o, BaseException)), default=0)
    snapshots = np.full((len(outcomes), width), np.nan)
    tickets: list[Any] = [None] * len(outcomes)
    for k, o in enumerate(outcomes):
        if errors[k] is None:
            tickets[k] = o[0]
            snapshots[k, :o[1].size] = o[1]
    return snapshots, tickets, errors
