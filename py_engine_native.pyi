"""Bindery module entrypoint.

Type stub of the py_engine_native extension module.

Every NativeEngineAsync method checks its arguments in the call itself (raising TypeError,
OverflowError, ValueError or PanicException there, before anything is sent) and otherwise
returns an asyncio.Future created on the running event loop; without a running loop the call
raises RuntimeError. The future later holds the UI's decoded reply, or fails with:

- RpcError "RpcError(seq=S, fnId=F, err=E, sub=U): message" when the UI answers with an
  error reply (the connection stays open);
- RpcTransportError "RpcTransportError(seq=..., fnId=...): message" when no UI is connected,
  the send fails, the reply does not arrive in time, or the reply does not match the request
  (the connection is then closed and the UI is expected to reconnect);
- ValueError with the codec's message when the reply payload is malformed for its kind.

`timeout_secs` is a float number of seconds; None (or omitted) means 10 s, 5 s for
get_sync_policy, and no limit for wait_connected. A negative, NaN or infinite value raises
PanicException in the call.

Numbers are typed as the module converts them: a float parameter takes what float conversion
at the C level takes (a float, an int, any object with __float__ or __index__, such as NumPy
scalars; not a str), an integer parameter an object with __index__. The fixed texts are typed
as Literal in their canonical spelling: side "buy" / "sell", order_type "limit" / "stop",
episode_type "train" / "test". The module itself also accepts other spellings (side and
order_type with surrounding white space and in any ASCII case; any episode_type text, where
"test" in any case selects the test set and every other text the train set); typed code writes
the canonical one.

RpcError and RpcTransportError are RuntimeError subclasses (module attributes, outside
__all__) that carry the call's numbers as `seq` and `fn_id`: catch the class, not the text.

PanicException is not a module attribute: it is raised for internal faults (such as an
unusable time-out) and derives directly from BaseException, so `except Exception` does not
catch it. Catch it as `except BaseException` and test `type(e).__name__ == "PanicException"`.
"""

import asyncio
from types import TracebackType
from typing import Any, Literal, Sequence, SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "NativeEngineAsync",
    "decode_vec_f64_py",
    "decode_mat_f64_py",
    "decode_close_step_py",
    "decode_vec_mat_f64_py",
    "encode_vec_f64_py",
    "encode_mat_f64_py",
    "encode_close_step_py",
]

_Float = SupportsFloat | SupportsIndex
_Timeout = _Float | None
_Side = Literal["buy", "sell"]
_OrderType = Literal["limit", "stop"]
_EpisodeType = Literal["train", "test"]
_F64 = NDArray[np.float64]

class NativeEngineAsync:
    """NativeEngineAsync(host, port, start_seq=None)

    The WebSocket server end of the engine. Constructing it opens nothing; `start()` binds
    host:port, the UI connects as client. `port` must lie in 0..65535 and `start_seq` (the
    first request sequence number, 1 when None) in 0..4294967295, else OverflowError.
    """

    def __new__(
        cls, host: str, port: SupportsIndex, start_seq: SupportsIndex | None = None
    ) -> NativeEngineAsync: ...
    def start(self) -> asyncio.Future[None]:
        """start($self)

        Binds the listening socket and starts accepting UI connections; resolves to None once
        listening (it does not wait for a client). Sends nothing. Fails with RuntimeError
        "RpcTransportError(seq=None, fnId=None): bind failed on HOST:PORT: ..." when the
        address cannot be bound. No time-out.
        """
    def wait_connected(self, timeout_secs: _Timeout = None) -> asyncio.Future[None]:
        """wait_connected($self, timeout_secs=None)

        Resolves to None as soon as a UI connection is installed (at once if one already is).
        Sends nothing. No time limit by default; with one, fails with RuntimeError
        "RpcTransportError(seq=None, fnId=None): wait_connected timed out".
        """
    def close(self) -> asyncio.Future[None]:
        """close($self)

        Stops every accept loop of the engine (closing its listening sockets), ends the opening
        handshakes in progress and closes the installed UI connection; resolves to None. A call
        waiting for its reply fails with RuntimeError "RpcTransportError(seq=Some(S),
        fnId=Some(F)): websocket closed" (a call queued behind it with the transport error of
        its step), later calls with "RpcTransportError(seq=None, fnId=Some(F)): no websocket
        connected". Pending wait_connected() calls keep waiting: a later start() and a UI that
        connects resolve them, or their own time-out or cancellation ends them. start() may bind
        again afterwards. Idempotent; never fails.
        """
    def __aenter__(self) -> asyncio.Future[NativeEngineAsync]:
        """__aenter__($self)

        Awaits start() and resolves to the engine itself:
        async with NativeEngineAsync(host, port) as engine: ...
        """
    def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> asyncio.Future[None]:
        """__aexit__($self, exc_type, exc_value, traceback)

        Awaits close() and resolves to None, so an exception raised in the block propagates.
        """
    @property
    def bound_port(self) -> int | None:
        """Port of the listening socket of the most recent successful start() (the one the system
        chose when the port is 0), or None before start() and after close()."""
    @property
    def bound_address(self) -> tuple[str, int] | None:
        """(address, port) of the listening socket of the most recent successful start(), the
        address as text ("127.0.0.1", "::1"), or None before start() and after close()."""
    @property
    def sync_wait(self) -> bool:
        """True (the default): a call made while the engine's connection is idle, or soon is,
        sends its request and waits briefly for the reply on the calling thread, with the
        interpreter lock released, and returns a future that is already done when the reply came
        in time; a UI that is slow to answer ends these waits by itself. False: every call is
        handed to the engine's background worker and the calling thread never waits on the
        socket."""
    @sync_wait.setter
    def sync_wait(self, value: bool) -> None: ...
    def init_candles(self, ohlc5: _F64, timeout_secs: _Timeout = None) -> asyncio.Future[None]:
        """init_candles($self, ohlc5, timeout_secs=None)

        Sends a 2-D contiguous float64 candle array (fnId 100, MatF64); the reference UI reads
        4 columns as OHLC, 5 as OHLCV, 6 or more as time+OHLCV and starts train episode 0.
        Resolves to None (the reply is ignored). A non-array, a wrong dimension count or
        element type, or non-contiguous memory raises TypeError in the call. Time-out 10 s.
        """
    def reset_episode(
        self,
        episode_index: SupportsIndex,
        episode_type: _EpisodeType,
        timeout_secs: _Timeout = None,
    ) -> asyncio.Future[int]:
        """reset_episode($self, episode_index, episode_type, timeout_secs=None)

        Reset to a specific episode by index.
        Payload: [u32 episode_index, u8 episode_type (0=train, 1=test)]

        fnId 101. episode_type "test" (any case) selects the test set, any other text the
        train set. Resolves to the u32 in the reply's first 4 bytes (the reference UI: the
        episode index it selected). Index outside 0..4294967295: OverflowError. Time-out 10 s.
        """
    def get_rl_config(self, timeout_secs: _Timeout = None) -> asyncio.Future[str]:
        """get_rl_config($self, timeout_secs=None)

        Get RL config from UI (seed, episode counts, etc.). Returns JSON string.

        fnId 102, empty request. Resolves to the reply as text ("{}" if it is not UTF-8).
        Time-out 10 s.
        """
    def step_next(self, timeout_secs: _Timeout = None) -> asyncio.Future[None]:
        """step_next($self, timeout_secs=None)

        Advances the simulation one step (fnId 2, empty request). Resolves to None whatever
        the reply holds. Time-out 10 s.
        """
    def step_and_sync(self, timeout_secs: _Timeout = None) -> asyncio.Future[tuple[_F64, _F64]]:
        """step_and_sync($self, timeout_secs=None)

        Advances one step and returns the new state (fnId 130, empty request, VecMatF64 reply).
        Resolves to (matrix, vector): matrix float64 (rows, cols), vector float64 (n,); the
        reference UI sends the ticket list and the snapshot. Time-out 10 s.
        """
    def get_snapshot(self, timeout_secs: _Timeout = None) -> asyncio.Future[_F64]:
        """get_snapshot($self, timeout_secs=None)

        fnId 12, empty request. Resolves to the VecF64 reply as a float64 array of shape (n,).
        Time-out 10 s.
        """
    def get_ticket_list(self, timeout_secs: _Timeout = None) -> asyncio.Future[_F64]:
        """get_ticket_list($self, timeout_secs=None)

        fnId 10, empty request. Resolves to the MatF64 reply, float64 (rows, cols); a reply of
        no rows gives shape (0, 0). Time-out 10 s.
        """
    def get_ohlc(self, timeout_secs: _Timeout = None) -> asyncio.Future[_F64]:
        """get_ohlc($self, timeout_secs=None)

        fnId 15, empty request. Resolves to the MatF64 reply, float64 (rows, cols); the
        reference UI sends recent candles as time, open, high, low, close, volume.
        Time-out 10 s.
        """
    def fetch_events(self, timeout_secs: _Timeout = None) -> asyncio.Future[_F64]:
        """fetch_events($self, timeout_secs=None)

        fnId 30, empty request. Resolves to the MatF64 reply, float64 (rows, cols), (0, 0) when
        empty; the reference UI sends and clears the events since the last fetch.
        Time-out 10 s.
        """
    def end_session(self, timeout_secs: _Timeout = None) -> asyncio.Future[_F64]:
        """end_session($self, timeout_secs=None)

        fnId 40, empty request. Resolves to the MatF64 reply, float64 (rows, cols); the
        reference UI closes everything, ends the episode and sends one summary row.
        Time-out 10 s.
        """
    def get_sync_policy(
        self, timeout_secs: _Timeout = None
    ) -> asyncio.Future[Literal["deferred", "eager"] | None]:
        """get_sync_policy($self, timeout_secs=None)

        fnId 120, empty request. Resolves to "deferred" (reply byte 0), "eager" (1), or None
        (any other byte, or an empty reply). Time-out 5 s.
        """
    def close_positions(
        self,
        position_ids: Sequence[SupportsIndex] | NDArray[np.integer[Any]],
        actions: Sequence[SupportsIndex] | NDArray[np.integer[Any]],
        ratios: Sequence[_Float] | NDArray[np.floating[Any]],
        timeout_secs: _Timeout = None,
    ) -> asyncio.Future[_F64]:
        """close_positions($self, position_ids, actions, ratios, timeout_secs=None)

        fnId 31, CloseStep request: one (id, action, ratio) entry per position; the ratio is
        sent only for action 2 (reduce) and must then lie in 0..1. Resolves to the MatF64
        reply, float64 (rows, cols). In the call: a str or non-sequence raises TypeError,
        unequal lengths ValueError "close_positions: arrays must have equal length", a bad
        reduce ratio ValueError "ratio out of range for reduce", an id or action outside i32
        OverflowError. Time-out 10 s.
        """
    def place_order(
        self,
        side: _Side,
        order_type: _OrderType,
        price: _Float,
        units: SupportsIndex,
        take_profit: _Float | None = None,
        stop_loss: _Float | None = None,
        trailing_stop: _Float | None = None,
        time_limit: _Float | None = None,
        timeout_secs: _Timeout = None,
    ) -> asyncio.Future[_F64]:
        """place_order($self, side, order_type, price, units, take_profit=None, stop_loss=None, trailing_stop=None, time_limit=None, timeout_secs=None)

        fnId 20, VecF64 request of 13 values: a pending order with side "buy"/"sell",
        order_type "limit"/"stop" (both trimmed, case-insensitive), a finite price and
        units >= 1; the optional offsets must be finite and >= 0. Resolves to the VecF64 reply,
        float64 (n,) (reference UI: accepted, id, fill price, reason). A refused value raises
        ValueError in the call ("side must be 'buy' or 'sell'", "order_type must be 'limit' or
        'stop'", "price must be finite", "units must be > 0", "value must be finite and >= 0").
        Time-out 10 s.
        """
    def place_ticket(
        self,
        side: _Side,
        units: SupportsIndex,
        take_profit: _Float | None = None,
        stop_loss: _Float | None = None,
        trailing_stop: _Float | None = None,
        timeout_secs: _Timeout = None,
    ) -> asyncio.Future[_F64]:
        """place_ticket($self, side, units, take_profit=None, stop_loss=None, trailing_stop=None, timeout_secs=None)

        fnId 21, VecF64 request of 9 values: a market ticket with side "buy"/"sell" and
        units >= 1; the optional offsets must be finite and >= 0. Resolves to the VecF64 reply,
        float64 (n,) (reference UI: accepted, id, fill price, reason). Refused values raise
        ValueError in the call, with the messages of place_order. Time-out 10 s.
        """

def decode_vec_f64_py(payload: bytes) -> _F64:
    """Decode VecF64 payload into numpy.ndarray(float64, shape=(n,))"""

def decode_mat_f64_py(payload: bytes) -> _F64:
    """Decode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"""

def decode_close_step_py(
    payload: bytes,
) -> tuple[NDArray[np.int32], NDArray[np.int32], _F64]:
    """Decode CloseStep payload into tuple(flags, actions, ratios) as numpy arrays."""

def decode_vec_mat_f64_py(payload: bytes) -> tuple[_F64, _F64]:
    """Decode VecF64 + MatF64 payload into (vec, mat)."""

# The encoders return the payload as a list of ints (0..255); bytes(result) makes it bytes.
def encode_vec_f64_py(arr: _F64) -> list[int]: ...
def encode_mat_f64_py(mat: _F64) -> list[int]: ...
def encode_close_step_py(
    flags: NDArray[np.int32], actions: NDArray[np.int32], ratios: _F64
) -> list[int]: ...

class RpcTransportError(RuntimeError):
    """A call failed in transport or protocol (no UI connected, a send or receive failure, a
    time-out, a reply that does not match its request). `seq` and `fn_id` are the call's
    numbers, None where the call never got one."""

    seq: int | None
    fn_id: int | None

class RpcError(RuntimeError):
    """The UI answered a call with an error reply: `seq` and `fn_id` of the call, the UI's
    `err` and `sub` codes; the text ends with the UI's message."""

    seq: int
    fn_id: int
    err: int
    sub: int

# Not in __all__: the group call behind the environment package's vector step.
class EngineBatch:
    """A fixed group of engines whose calls go out together and whose replies are taken as they
    come. Each call is numbered, framed, checked and timed exactly as the same method called on
    that engine would be, with the same consequences (a time-out or protocol failure closes
    that engine's connection). An engine whose connection is busy with another call of its own
    gets the batch's call handed to its worker, queued behind that call. Not thread-safe.
    """

    def __new__(cls, engines: Sequence[NativeEngineAsync]) -> EngineBatch: ...
    def __len__(self, /) -> int: ...
    def send(
        self,
        ids: Sequence[SupportsIndex] | NDArray[np.integer[Any]] | None = None,
        fn: str = "step_and_sync",
        timeout_secs: _Timeout = None,
    ) -> None:
        """send($self, ids=None, fn='step_and_sync', timeout_secs=None)

        Sends one request of the argument-less method `fn` ("step_and_sync", "step_next",
        "get_snapshot", "get_ticket_list", or any other NativeEngineAsync method that takes
        only timeout_secs) to each engine in ids (default: all), every request out before any
        reply is awaited; the GIL is released once for the batch. Raises at once (ValueError,
        TypeError or PanicException for a bad time-out, as the method would) for a bad id, an
        unknown fn, or an id that already has a request outstanding in this batch; nothing is
        sent then. timeout_secs defaults to the method's own time-out and covers sending and
        waiting.
        """

    def recv(
        self, min_ready: SupportsIndex | None = None, timeout_secs: _Timeout = None
    ) -> list[tuple[int, Any]]:
        """recv($self, min_ready=None, timeout_secs=None)

        Waits (GIL released, the sockets polled together) until at least min_ready of the
        outstanding requests (default: all of them; at most all of them) are answered or
        failed; returns (id, result) pairs in the order they completed. result is what the
        method's future would have given (for step_and_sync the (matrix, vector) tuple), or the
        exception instance the future would have been given. Requests not yet answered stay
        outstanding for a later recv. recv with nothing outstanding returns []. timeout_secs
        bounds the wait (default: only the calls' own time-outs do); when it passes first,
        recv returns what completed by then, possibly fewer than min_ready.
        """

    def step_and_sync(
        self, timeout_secs: _Timeout = None
    ) -> tuple[_F64, list[_F64 | None], list[BaseException | None]]:
        """step_and_sync($self, timeout_secs=None)

        send(all) then recv(all): (snapshots (N, k) float64 with row i for engine i (NaN row
        where it failed), positions: list of N matrices (None where it failed), errors: list
        of N exceptions or None). k is the first answered snapshot's length; an answer of
        another length fails its engine's slot with ValueError.
        """
