"""Checks that a UI speaks the engine's protocol (ui/PROTOCOL.md), without knowing its insides.

    python -m py_engine_native_env.check_ui --port P [--host H] [--json FILE]
                                            [--wait S] [--reconnect S] [--timeout S]

Starts an engine on H:P, waits for a UI to connect, and drives every engine method with valid
and edge-case arguments, in an order that leaves the UI in a fresh train episode. Prints one
line per check ("PASS name: detail" or "FAIL name: detail") and a last line "N passed, M
failed". Exit status: 0 when every check passed, 1 when one failed, 2 on bad arguments.
"""
import argparse
import asyncio
import json
import math
import re
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any, TypedDict

import numpy as np
from numpy.typing import NDArray

from py_engine_native import NativeEngineAsync, RpcError, RpcTransportError

# The messages of a transport failure, and the fault each one reveals in the UI.
FAULTS = [
    (r"seq mismatch: expected (\d+), got (\d+)",
     "seq not echoed: request {0} was answered with seq {1}"),
    (r"fnId mismatch: expected (\d+), got (\d+)",
     "fnId not echoed: a request to fnId {0} was answered with fnId {1}"),
    (r"protocol version mismatch: got (\d+), expected (\d+)",
     "frame version: the reply has version {0}, must be {1}"),
    (r"websocket recv failed: (.*unmasked.*)",
     "unmasked frame: the UI sent a WebSocket frame without a mask; client frames must be "
     "masked (RFC 6455 5.3) [{0}]"),
    (r"websocket recv failed: (.*larger than 16 MiB.*)",
     "frame too large: a WebSocket frame above 16 MiB [{0}]"),
    (r"timeout waiting response", "no reply within {timeout:g} s"),
    (r"websocket closed", "connection closed: the UI closed the connection instead of replying"),
    (r"websocket (?:recv|send) failed: (.*)", "connection failed: {0}"),
    (r"(no websocket connected|connection missing)", "not connected: {0}"),
]
MALFORMED = re.compile(r"frame too short|payload length mismatch")

# Layouts that get_rl_config may name, and the method replies that follow each one.
LAYOUT_KEYS = {
    "snapshot": "snapshot_fields", "tickets": "ticket_fields", "ohlc": "ohlc_fields",
    "events": "event_fields", "summary": "summary_fields",
    "close_result": "close_result_fields", "order_reply": "order_reply_fields",
}
MAX_TRANSPORT_FAULTS = 3

Validation = tuple[list[str], str]  # (problems, detail) of one reply
Validator = Callable[[Any], Validation]


class Result(TypedDict):
    name: str
    ok: bool
    detail: str


def candles(rows: int = 1000, seed: int = 5) -> NDArray[np.float64]:
    """Open, high, low, close, volume: a random walk near 100, each candle opening at the
    previous close."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.002, rows)))
    open_ = np.concatenate(([100.0], close[:-1]))
    spread = np.abs(rng.normal(0.0, 0.001, rows)) * close
    return np.column_stack([open_, np.maximum(open_, close) + spread,
                            np.minimum(open_, close) - spread, close,
                            rng.integers(1000, 10000, rows).astype(np.float64)])


class Reply:
    """The outcome of one call: a value, an error reply, or a fault."""

    def __init__(self, value: Any = None, error: tuple[int, int, str] | None = None,
                 fault: str | None = None, transport: bool = False) -> None:
        self.value, self.error, self.fault, self.transport = value, error, fault, transport


def message_of(exc: Exception) -> str:
    """A call failure's message: its text after the "Kind(numbers): " head."""
    return str(exc).split("): ", 1)[-1]


def classify(exc: Exception, timeout: float) -> Reply:
    text = str(exc)
    if isinstance(exc, RpcError):
        return Reply(error=(exc.err, exc.sub, message_of(exc)))
    if isinstance(exc, RpcTransportError):
        for pattern, name in FAULTS:
            if f := re.fullmatch(pattern, message_of(exc), re.S):
                return Reply(fault=name.format(*f.groups(), timeout=timeout), transport=True)
    if isinstance(exc, ValueError):
        if MALFORMED.match(text):
            return Reply(fault=f"malformed frame: {text}")
        return Reply(fault=f"wrong reply kind: {text}")
    return Reply(fault=f"unexpected {type(exc).__name__}: {text}")


def well_formed_error(err: int, sub: int, message: str) -> str | None:
    if err == 0 and not message:
        return "malformed error body (shorter than 8 bytes, or its message length overruns it)"
    if err == 0:
        return "error reply with err 0"
    if not message:
        return "error reply without a message"
    if "\ufffd" in message:
        return "error message is not valid UTF-8"
    return None


def non_finite(array: NDArray[np.float64]) -> str | None:
    bad = np.argwhere(~np.isfinite(array))
    if not len(bad):
        return None
    at = tuple(int(i) for i in bad[0])
    return f"non-finite number {array[at]} at index {at[0] if len(at) == 1 else at}"


def call_text(method: str, args: Sequence[object], kwargs: dict[str, object]) -> str:
    shown = [repr(a) for a in args] + [f"{k}={v!r}" for k, v in kwargs.items()]
    return f"{method}({', '.join(shown)})"


def nothing(value: object) -> Validation:
    return ([] if value is None else [f"expected None, got {value!r:.80}"]), "reply ignored"


def index(value: object) -> Validation:
    ok = isinstance(value, int)
    return ([] if ok else [f"expected an int, got {value!r:.80}"]), f"u32 {value}"


def policy(value: object) -> Validation:
    ok = value in ("deferred", "eager")
    return ([] if ok else ["the policy byte is neither 0 (deferred) nor 1 (eager)"]), str(value)


class Check:
    """One session of calls against the connected UI, and the check line of each."""

    def __init__(self, engine: NativeEngineAsync, timeout: float, reconnect: float) -> None:
        self.engine, self.timeout, self.reconnect = engine, timeout, reconnect
        self.results: list[Result] = []
        # layout -> column names, as get_rl_config declares them
        self.fields: dict[str, list[str]] = {}
        self.widths: dict[str, int] = {}  # layout -> width of the first reply
        self.faults_in_a_row = 0
        self.calls = 0

    def record(self, name: str, problems: list[str], detail: str) -> bool:
        ok = not problems
        detail = detail if ok else "; ".join(problems)
        self.results.append({"name": name, "ok": ok, "detail": detail})
        print(f"{'PASS' if ok else 'FAIL'} {name}: {detail}", flush=True)
        return ok

    # ------------------------------------------------------------------ invariants

    def width(self, layout: str, n: int, what: str) -> str | None:
        """A matrix's column count or a vector's length against the declared and the first."""
        fault, noun = ("wrong column count", "columns") if what == "matrix" else \
            ("wrong vector length", "values")
        declared = len(self.fields[layout]) if layout in self.fields else None
        if declared is not None and n != declared:
            return (f"{fault}: the {what} has {n} {noun}, get_rl_config's {LAYOUT_KEYS[layout]} "
                    f"names {declared}")
        first = self.widths.setdefault(layout, n)
        if n != first:
            return f"{fault}: the {what} has {n} {noun}, earlier replies had {first}"
        return None

    def matrix(self, value: object, layout: str, finite: bool = False,
               rows: int | None = None) -> Validation:
        if not (isinstance(value, np.ndarray) and value.ndim == 2 and value.dtype == np.float64):
            return [f"expected a float64 matrix, got {value!r:.80}"], ""
        problems: list[str | None] = \
            [self.width(layout, value.shape[1], "matrix")] if value.shape[0] else []
        if finite:
            problems.append(non_finite(value))
        if rows is not None and value.shape[0] != rows:
            problems.append(f"{value.shape[0]} rows for {rows} entries sent")
        return [p for p in problems if p], f"MatF64 {value.shape[0]}x{value.shape[1]}"

    def mat(self, layout: str, *, finite: bool = False, rows: int | None = None) -> Validator:
        return lambda value: self.matrix(value, layout, finite=finite, rows=rows)

    def vec(self, layout: str, *, finite: bool = False) -> Validator:
        return lambda value: self.vector(value, layout, finite=finite)

    def vector(self, value: object, layout: str, finite: bool = False) -> Validation:
        if not (isinstance(value, np.ndarray) and value.ndim == 1 and value.dtype == np.float64):
            return [f"expected a float64 vector, got {value!r:.80}"], ""
        problems = [self.width(layout, value.shape[0], "vector"),
                    non_finite(value) if finite else None]
        return [p for p in problems if p], f"VecF64 of {value.shape[0]}"

    # ------------------------------------------------------------------ calls

    async def call(self, method: str, *args: object, **kwargs: object) -> Reply:
        try:
            value = await getattr(self.engine, method)(*args, timeout_secs=self.timeout, **kwargs)
        except (RuntimeError, ValueError) as exc:
            return classify(exc, self.timeout)
        return Reply(value=value)

    async def run(self, method: str, *args: object, validate: Validator, name: str | None = None,
                  edge: bool = False, **kwargs: object) -> Any:
        """One call, one check line. validate(value) returns (problems, detail). An edge case
        may be refused with a well-formed error reply. Returns the value, or None."""
        self.calls += 1
        name = f"#{self.calls} {name or call_text(method, args, kwargs)}{' (edge)' if edge else ''}"
        reply = await self.call(method, *args, **kwargs)
        if reply.transport:
            assert reply.fault is not None  # a transport reply always names its fault
            self.record(name, [reply.fault], "")
            await self.after_fault(reply.fault)
            return None
        self.faults_in_a_row = 0
        if reply.fault:
            self.record(name, [reply.fault], "")
        elif reply.error:
            err, sub, message = reply.error
            bad = well_formed_error(err, sub, message)
            if edge:
                self.record(name, [bad] if bad else [], f"refused, err={err} sub={sub}: {message}")
            else:
                self.record(name, [f"error reply err={err} sub={sub}: {message}"], "")
        else:
            problems, detail = validate(reply.value)
            if self.record(name, problems, detail):
                return reply.value
        return None

    async def after_fault(self, fault: str) -> None:
        """The engine dropped the connection: wait for the UI to come back, or give up."""
        self.faults_in_a_row += 1
        if self.faults_in_a_row >= MAX_TRANSPORT_FAULTS:
            raise Stop(f"{self.faults_in_a_row} transport faults in a row, the last: {fault}")
        try:
            await self.engine.wait_connected(timeout_secs=self.reconnect)
        except RpcTransportError:
            raise Stop(f"the UI did not reconnect within {self.reconnect:g} s "
                       f"after: {fault}") from None

    # ------------------------------------------------------------------ the session

    async def session(self, series: NDArray[np.float64]) -> None:
        run, mat, vec = self.run, self.mat, self.vec
        await run("get_rl_config", validate=self.config)
        await run("get_sync_policy", validate=policy)
        await run("init_candles", series[:1], name="init_candles of 1 candle", edge=True,
                  validate=nothing)
        await run("init_candles", series, name=f"init_candles of {len(series)} candles",
                  validate=nothing)
        await run("reset_episode", 4294967295, "test", edge=True, validate=index)
        await run("reset_episode", 0, "train", validate=index)
        await run("get_snapshot", validate=vec("snapshot", finite=True))
        await run("get_ohlc", validate=mat("ohlc", finite=True))
        await run("get_ticket_list", validate=mat("tickets"))
        await run("fetch_events", validate=mat("events"))
        await self.steps(3)

        low = round(float(series[:, 3].min()) / 2, 2)  # below every candle: orders stay pending
        order = vec("order_reply")
        await run("place_order", "buy", "limit", low, 1, take_profit=0.02, stop_loss=0.01,
                  trailing_stop=0.01, time_limit=50.0, validate=order)
        await run("place_order", "sell", "stop", low, 2, validate=order)
        await run("place_order", "buy", "limit", -1.0, 1, edge=True, validate=order)
        await run("place_order", "buy", "limit", low, 1, take_profit=0.0, time_limit=-5.0,
                  edge=True, validate=order)
        await run("place_ticket", "buy", 2, take_profit=5.0, stop_loss=5.0, validate=order)
        await run("place_ticket", "sell", 1, trailing_stop=2.0, validate=order)
        await run("place_ticket", "buy", 1, take_profit=0.0, edge=True, validate=order)
        await self.steps(2)
        tickets = await run("get_ticket_list", validate=mat("tickets"))

        await run("close_positions", [], [], [], validate=mat("close_result", rows=0))
        await run("close_positions", [2147483647], [1], [0.0], edge=True,
                  validate=mat("close_result", rows=1))
        fields = self.fields.get("tickets", [])
        if tickets is not None and tickets.shape[0] and "id" in fields:
            # get_rl_config names the id column: reduce the first position, close the others.
            ids = [int(i) for i in tickets[:, fields.index("id")]]
            rest = len(ids) - 1
            await run("close_positions", ids, [2] + [1] * rest, [0.5] + [0.0] * rest,
                      validate=mat("close_result", rows=len(ids)))
        await run("fetch_events", validate=mat("events"))
        await run("fetch_events", validate=mat("events"))
        await run("end_session", validate=mat("summary", finite=True))
        await run("get_snapshot", validate=vec("snapshot", finite=True))
        await run("reset_episode", 0, "train", validate=index)  # leaves a fresh episode
        await run("get_snapshot", validate=vec("snapshot", finite=True))

    async def steps(self, n: int) -> None:
        for _ in range(n):
            await self.run("step_next", validate=nothing)
        for _ in range(n):
            await self.run("step_and_sync", validate=self.synced)

    def synced(self, value: object) -> Validation:
        if not (isinstance(value, tuple) and len(value) == 2):
            return [f"expected (matrix, vector), got {value!r:.80}"], ""
        mp, md = self.matrix(value[0], "tickets")
        vp, vd = self.vector(value[1], "snapshot", finite=True)
        return mp + vp, f"VecMatF64: snapshot {vd}, tickets {md}"

    def config(self, text: object) -> Validation:
        if not isinstance(text, str):
            return [f"expected a str, got {text!r:.80}"], ""
        try:
            doc = json.loads(text)
        except ValueError as exc:
            return [f"not JSON ({exc}): {text[:60]!r}"], ""
        if not isinstance(doc, dict):
            return [f"not a JSON object: {text[:60]!r}"], ""
        for layout, key in LAYOUT_KEYS.items():
            fields = doc.get(key)
            if isinstance(fields, list) and all(isinstance(f, str) for f in fields):
                self.fields[layout] = fields
        named = ", ".join(LAYOUT_KEYS[k] for k in self.fields) or "no layouts"
        return [], f"JSON object of {len(doc)} keys, naming {named}"


class Stop(Exception):
    """The UI is gone or keeps breaking the transport: no point in further calls."""


async def check(args: argparse.Namespace) -> list[Result]:
    engine = NativeEngineAsync(args.host, args.port)
    checker = Check(engine, args.timeout, args.reconnect)
    try:
        await engine.start()
    except RpcTransportError as exc:
        checker.record(f"engine listens on {args.host}:{args.port}", [str(exc)], "")
        return checker.results
    args.port = engine.bound_port  # the port that --port 0 got
    print(f"listening on {url(args)}; start or reload the UI "
          f"(waiting up to {args.wait:g} s)", file=sys.stderr, flush=True)
    try:
        began = time.monotonic()
        try:
            await engine.wait_connected(timeout_secs=args.wait)
        except RpcTransportError:
            checker.record("UI connects", [f"no UI connected within {args.wait:g} s"], "")
            return checker.results
        checker.record("UI connects", [], f"after {time.monotonic() - began:.1f} s")
        await checker.session(candles())
    except Stop as stop:
        checker.record("stopped early", [str(stop)], "")
    finally:
        await engine.close()
    return checker.results


def url(args: argparse.Namespace) -> str:
    host = f"[{args.host}]" if ":" in args.host else args.host
    return f"ws://{host}:{args.port}/"


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m py_engine_native_env.check_ui",
        description="Check that a UI speaks the py_engine_native protocol: starts an engine on "
                    "HOST:PORT, waits for the UI to connect and drives every method.")
    parser.add_argument("--port", type=int, required=True, help="port to listen on")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--json", metavar="FILE", help="also write a JSON report to FILE")
    parser.add_argument("--wait", type=float, default=60.0,
                        help="seconds to wait for the UI to connect (default 60)")
    parser.add_argument("--reconnect", type=float, default=10.0,
                        help="seconds to wait for the UI to reconnect after a transport fault "
                             "(default 10)")
    parser.add_argument("--timeout", type=float, default=10.0,
                        help="seconds to wait for each reply (default 10)")
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error("--port must lie in 0..65535")
    for name in ("wait", "reconnect", "timeout"):
        if not (math.isfinite(getattr(args, name)) and getattr(args, name) > 0):
            parser.error(f"--{name} must be a positive number of seconds")
    return args


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    results = asyncio.run(check(args))
    failed = sum(not r["ok"] for r in results)
    passed = len(results) - failed
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({"ui": url(args), "passed": passed, "failed": failed,
                       "checks": results}, f, indent=1)
    print(f"{passed} passed, {failed} failed", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
