# Every engine method as the UI sees it: the exact request frame it sends, how it decodes each
# reply, and that a call refused at the call site sends nothing and spends no sequence number.
import asyncio
import ctypes
import gc
import struct

import numpy as np
import pytest

from standin import (FN, OUT_OF_RANGE, RESPONSE, STEP, call, close_step, connected, frame,
                     mat_f64, request_bytes, run, vec_f64)

NAN = float("nan")
INF = float("inf")
MAT = mat_f64(2, 3)
SNAP = vec_f64([1.5, -2.0])
# A reply payload that each function identifier accepts.
GOOD_REPLY = {2: b"", 10: MAT, 12: SNAP, 15: MAT, 20: SNAP, 21: SNAP, 30: MAT, 31: MAT, 40: MAT,
              100: b"", 101: b"\x00" * 4, 102: b"{}", 120: b"\x00", 130: SNAP + MAT}


def order(*values):
    return vec_f64(values)


def offset(value):
    """What place_order sends for a take-profit, stop-loss or trailing-stop value."""
    return value * 100.0 - 1.0


CANDLES = np.arange(15.0).reshape(3, 5) / 7
READ_ONLY = np.arange(4.0).reshape(2, 2)
READ_ONLY.setflags(write=False)


class Candles(np.ndarray):
    """A subclass of ndarray is as good as ndarray."""

REQUESTS = [
    # Methods whose request payload is empty.
    *[(name, (), {}, b"") for name in ("get_rl_config", "step_next", "step_and_sync",
                                       "get_snapshot", "get_ticket_list", "get_ohlc",
                                       "fetch_events", "end_session", "get_sync_policy")],
    ("get_ohlc", (), {"timeout_secs": 5}, b""),
    ("init_candles", (CANDLES,), {}, mat_f64(3, 5, CANDLES.ravel())),
    ("init_candles", (np.zeros((0, 4)),), {}, struct.pack("<II", 0, 4)),
    ("init_candles", (READ_ONLY,), {}, mat_f64(2, 2, [0.0, 1.0, 2.0, 3.0])),
    ("init_candles", (READ_ONLY.view(Candles),), {}, mat_f64(2, 2, [0.0, 1.0, 2.0, 3.0])),
    ("reset_episode", (7, "Test"), {}, bytes.fromhex("07000000 01")),
    ("reset_episode", (7, "TEST"), {}, bytes.fromhex("07000000 01")),
    ("reset_episode", (), {"episode_index": 4294967295, "episode_type": "tEsT"},
     bytes.fromhex("ffffffff 01")),
    *[("reset_episode", (7, text), {}, bytes.fromhex("07000000 00"))
      for text in ("train", "TRAIN ", "validation", "", " test", "test\n", "tests")],
    ("reset_episode", (np.uint16(258), "train"), {}, bytes.fromhex("02010000 00")),
    ("place_order", (" BUY ", "Limit", 1.25, 10), {},
     order(1.0, 1.25, -1.0, -1.0, -1.0, -1.0, 1.0, 1.0, 10.0, 0.0, 0.0, 0.0, 0.0)),
    ("place_order", ("sell", "stop", 1.25, 3), {"take_profit": 0.02, "time_limit": 60.0},
     order(1.0, 1.25, 1.0, -1.0, -1.0, 1.0, -1.0, -1.0, 3.0, 1.0, 0.0, 0.0, 60.0)),
    ("place_order", ("\u00a0sell\u2003", "\tSTOP\n", -2.5, 7),
     {"take_profit": 0.5, "stop_loss": 0.013, "trailing_stop": 2, "time_limit": -5.0},
     order(1.0, -2.5, 1.0, 1.0, 1.0, 1.0, -1.0, -1.0, 7.0,
           offset(0.5), offset(0.013), offset(2.0), -5.0)),
    ("place_order", ("buy", "limit", 3, np.int64(2147483647)),
     {"take_profit": None, "stop_loss": 0.0, "trailing_stop": -0.0, "time_limit": NAN},
     order(1.0, 3.0, -1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 2147483647.0, 0.0, -1.0, -1.0, NAN)),
    ("place_ticket", ("buy", 5), {"stop_loss": 1.5},
     order(1.0, 0.0, 1.0, 0.0, 1.0, 5.0, 0.0, 0.5, 0.0)),
    ("place_ticket", ("sell", 5), {}, order(1.0, 0.0, 0.0, 0.0, 0.0, 5.0, 0.0, 0.0, 0.0)),
    ("place_ticket", (), {"side": " Buy", "units": 2, "take_profit": 3, "stop_loss": -0.0,
                          "trailing_stop": 0.25},
     order(1.0, 1.0, 1.0, 1.0, 1.0, 2.0, 2.0, -1.0, -0.75)),
    ("close_positions", ([7, 8], [1, 2], [0.9, 0.5]), {}, close_step([7, 8], [1, 2], [0.0, 0.5])),
    ("close_positions", ([], [], []), {}, b"\x00\x00\x00\x00"),
    ("close_positions", ((7,), (1,), (1.5,)), {}, close_step([7], [1], [0.0])),
    ("close_positions", (np.array([5, -6], dtype=np.int64), np.array([2, 3], dtype=np.int32),
                         np.array([1.0, NAN])), {}, close_step([5, -6], [2, 3], [1.0, 0.0])),
    ("close_positions", ([-2147483648, 2147483647], [2, 2], [0, 1]), {},
     close_step([-2147483648, 2147483647], [2, 2], [0.0, 1.0])),
    ("close_positions", (range(3), [-1, 0, 2], [5.0, -5.0, 0.25]), {},
     close_step([0, 1, 2], [-1, 0, 2], [0.0, 0.0, 0.25])),
]


@pytest.mark.parametrize("method, args, kwargs, payload", REQUESTS,
                         ids=[f"{row[0]}-{i}" for i, row in enumerate(REQUESTS)])
def test_request_frame_is_exact(method, args, kwargs, payload):
    fn_id = FN[method]

    async def script():
        async with connected() as (engine, ui, _):
            fut = getattr(engine, method)(*args, **kwargs)
            await call(ui, fut, GOOD_REPLY[fn_id])
            assert ui.requests == [request_bytes(1, fn_id, payload)]
    run(script())


def panic_check(message):
    def check(exc):
        # Derives directly from BaseException, so `except Exception` lets it through.
        assert type(exc).__name__ == "PanicException" and type(exc).__bases__ == (BaseException,)
        assert exc.args == (message,)
    return check


NEGATIVE = panic_check("cannot convert float seconds to Duration: value is negative")
TOO_BIG = panic_check("cannot convert float seconds to Duration: value is either too big or NaN")


def exactly(exc_type, text):
    def check(exc):
        assert type(exc) is exc_type and str(exc) == text
    return check


def starting(exc_type, prefix):
    def check(exc):
        assert type(exc) is exc_type and str(exc).startswith(prefix), repr(exc)
    return check


SIDE = exactly(ValueError, "side must be 'buy' or 'sell'")
UNITS = exactly(ValueError, "units must be > 0")
VALUE = exactly(ValueError, "value must be finite and >= 0")
RATIO = exactly(ValueError, "ratio out of range for reduce")
OVERFLOW = exactly(OverflowError, OUT_OF_RANGE)
ONE = np.ones((2, 2))

REFUSED = [
    ("step_next", (1, 2), {}, starting(TypeError, "NativeEngineAsync.step_next() takes")),
    ("get_ohlc", (), {"bogus": 1}, starting(TypeError, "NativeEngineAsync.get_ohlc() got an unexpected")),
    ("get_ohlc", (), {"timeout_secs": -1}, NEGATIVE),
    ("get_ohlc", (), {"timeout_secs": -INF}, NEGATIVE),
    ("get_snapshot", (), {"timeout_secs": -1e-12}, NEGATIVE),
    ("get_ohlc", (), {"timeout_secs": NAN}, TOO_BIG),
    ("get_sync_policy", (), {"timeout_secs": INF}, TOO_BIG),
    ("step_and_sync", (), {"timeout_secs": 2.0 ** 64}, TOO_BIG),
    ("get_rl_config", (), {"timeout_secs": "x"}, starting(TypeError, "argument 'timeout_secs': ")),
    ("reset_episode", (-1, "test"), {}, OVERFLOW),
    ("reset_episode", (4294967296, "test"), {}, OVERFLOW),
    ("reset_episode", (2 ** 64, "test"), {}, starting(OverflowError, "")),
    ("reset_episode", (1, 1), {},
     exactly(TypeError, "argument 'episode_type': 'int' object cannot be converted to 'PyString'")),
    ("reset_episode", (1.5, "test"), {},
     exactly(TypeError, "argument 'episode_index': 'float' object cannot be interpreted as an integer")),
    ("reset_episode", (1, "test"), {"timeout_secs": -1}, NEGATIVE),
    ("init_candles", ([[1.0]],), {},
     exactly(TypeError, "'list' object cannot be converted to 'PyArray<T, D>'")),
    ("init_candles", (ONE.astype(np.float32),), {},
     exactly(TypeError, "type mismatch:\n from=float32, to=float64")),
    ("init_candles", (np.ones(3),), {}, exactly(TypeError, "dimensionality mismatch:\n from=1, to=2")),
    ("init_candles", (np.ones((3, 4))[:, ::2],), {},
     exactly(TypeError, "The given array is not contiguous")),
    ("init_candles", ([[1.0]],), {"timeout_secs": "x"}, starting(TypeError, "argument 'timeout_secs': ")),
    ("init_candles", (ONE,), {"timeout_secs": -1}, NEGATIVE),
    ("place_order", ("hold", "limit", 1.0, 1), {}, SIDE),
    ("place_order", ("hold", "market", 1.0, 1), {}, SIDE),
    ("place_order", ("", "limit", 1.0, 1), {}, SIDE),
    ("place_order", ("b\u00fcy", "limit", 1.0, 1), {}, SIDE),
    ("place_order", ("buy", "market", NAN, 0), {},
     exactly(ValueError, "order_type must be 'limit' or 'stop'")),
    ("place_order", ("buy", "limit", INF, 1), {}, exactly(ValueError, "price must be finite")),
    ("place_order", ("buy", "limit", NAN, 0), {}, exactly(ValueError, "price must be finite")),
    ("place_order", ("hold", "limit", 1.0, 1), {"take_profit": "x"},
     starting(TypeError, "argument 'take_profit': ")),
    ("place_order", ("buy", "limit", 1.0, 0), {"take_profit": -1.0}, UNITS),
    ("place_order", ("buy", "limit", 1.0, 2 ** 31), {}, OVERFLOW),
    ("place_order", ("buy", "limit", 1.0, -2 ** 31 - 1), {}, OVERFLOW),
    ("place_order", ("buy", "limit", 1.0, 2 ** 63), {}, starting(OverflowError, "")),
    ("place_order", ("buy", "limit", 1.0, 1.5), {},
     exactly(TypeError, "argument 'units': 'float' object cannot be interpreted as an integer")),
    ("place_order", ("buy", "limit", 1.0, 1), {"take_profit": -0.01}, VALUE),
    ("place_order", ("buy", "limit", 1.0, 1), {"stop_loss": INF}, VALUE),
    ("place_order", ("buy", "limit", 1.0, 1), {"trailing_stop": NAN}, VALUE),
    ("place_order", ("hold", "limit", 1.0, 1), {"timeout_secs": -1}, SIDE),
    ("place_order", ("buy", "limit", 1.0, 1), {"timeout_secs": -1}, NEGATIVE),
    ("place_ticket", ("sell ", -3), {}, UNITS),
    ("place_ticket", ("long", 3), {}, SIDE),
    ("place_ticket", ("buy", 3), {"trailing_stop": -INF}, VALUE),
    ("place_ticket", ("buy", 3), {"stop_loss": "x"}, starting(TypeError, "argument 'stop_loss': ")),
    ("place_ticket", ("buy", 3), {"timeout_secs": NAN}, TOO_BIG),
    ("close_positions", ([7], [2], [1.5]), {}, RATIO),
    ("close_positions", ([7], [2], [-0.1]), {}, RATIO),
    ("close_positions", ([7], [2], [NAN]), {}, RATIO),
    ("close_positions", ([1, 2], [2], [0.5]), {},
     exactly(ValueError, "close_positions: arrays must have equal length")),
    ("close_positions", ("12", [1, 2], [0.5, 0.5]), {}, exactly(TypeError, "Can't extract `str` to `Vec`")),
    ("close_positions", ([1], [1], "0"), {}, exactly(TypeError, "Can't extract `str` to `Vec`")),
    ("close_positions", (5, [1], [0.5]), {},
     exactly(TypeError, "'int' object cannot be converted to 'Sequence'")),
    ("close_positions", ([1], (a for a in [1]), [0.5]), {},
     exactly(TypeError, "'generator' object cannot be converted to 'Sequence'")),
    ("close_positions", ([2 ** 31], [1], [0.5]), {}, OVERFLOW),
    ("close_positions", (np.array([2 ** 31]), [1], [0.5]), {}, OVERFLOW),
    ("close_positions", ([1], [-2 ** 31 - 1], [0.5]), {}, OVERFLOW),
    ("close_positions", ([1.5], [1], [0.5]), {}, starting(TypeError, "")),
    ("close_positions", ([1], [1], ["a"]), {}, starting(TypeError, "")),
    ("close_positions", ([7], [2], [1.5]), {"timeout_secs": "x"},
     starting(TypeError, "argument 'timeout_secs': ")),
    ("close_positions", ([7], [2], [0.5]), {"timeout_secs": -1}, NEGATIVE),
]


@pytest.mark.parametrize("method, args, kwargs, check", REFUSED,
                         ids=[f"{row[0]}-{i}" for i, row in enumerate(REFUSED)])
def test_refused_call_sends_nothing_and_spends_no_number(method, args, kwargs, check):
    async def script():
        async with connected() as (engine, ui, _):
            try:
                getattr(engine, method)(*args, **kwargs)
            except BaseException as exc:  # PanicException is not an Exception
                check(exc)
            else:
                raise AssertionError("the call was not refused")
            await ui.expect_nothing(0.1)
            req, _ = await call(ui, engine.step_next(timeout_secs=STEP))
            assert (req.seq, req.fn_id) == (1, 2)
            assert len(ui.requests) == 1
    run(script())


def array(values, dtype=np.float64):
    return np.array(values, dtype=dtype)


BITS = [struct.unpack("<d", struct.pack("<Q", q))[0]
        for q in (0x7FF8000000000123, 0xFFF0000000000001, 0x8000000000000000, 0x7FF0000000000000)]

REPLIES = [
    ("init_candles", (ONE,), b"", None),
    ("init_candles", (ONE,), b"anything", None),
    ("step_next", (), b"", None),
    ("step_next", (), MAT, None),
    ("reset_episode", (1, "train"), bytes.fromhex("2a000000"), 42),
    ("reset_episode", (1, "train"), bytes.fromhex("2a000000ff"), 42),
    ("reset_episode", (1, "train"), bytes.fromhex("2a0000"), 0),
    ("reset_episode", (1, "train"), b"", 0),
    ("reset_episode", (1, "train"), bytes.fromhex("ffffffff"), 4294967295),
    ("get_rl_config", (), b'{"seed": 7, "episodes": [1, 2]}', '{"seed": 7, "episodes": [1, 2]}'),
    ("get_rl_config", (), "caf\u00e9 \u20ac".encode(), "caf\u00e9 \u20ac"),
    ("get_rl_config", (), bytes.fromhex("fffe"), "{}"),
    ("get_rl_config", (), b'{"a": "\xc3"}', "{}"),
    ("get_rl_config", (), b"", ""),
    ("get_sync_policy", (), b"\x00", "deferred"),
    ("get_sync_policy", (), b"\x01\xff", "eager"),
    ("get_sync_policy", (), b"\x00\x01", "deferred"),
    ("get_sync_policy", (), b"\x02", None),
    ("get_sync_policy", (), b"\xff", None),
    ("get_sync_policy", (), b"", None),
    ("get_snapshot", (), SNAP, array([1.5, -2.0])),
    ("get_snapshot", (), vec_f64([]), array([])),
    ("get_snapshot", (), vec_f64(BITS), array(BITS)),
    ("get_snapshot", (), b"\x00" * 3, ValueError("VecF64 payload too short")),
    ("get_snapshot", (), vec_f64([1.0]) + b"\x00", ValueError("VecF64 length mismatch: expected 12, got 13")),
    ("get_snapshot", (), struct.pack("<I", 0xFFFFFFFF),
     ValueError("VecF64 length mismatch: expected 34359738364, got 4")),
    ("place_order", ("buy", "limit", 1.0, 1), vec_f64([3.0]), array([3.0])),
    ("place_order", ("buy", "limit", 1.0, 1), MAT, ValueError("VecF64 length mismatch: expected 20, got 56")),
    ("place_ticket", ("sell", 1), vec_f64([4.0, 5.0]), array([4.0, 5.0])),
    ("place_ticket", ("sell", 1), b"", ValueError("VecF64 payload too short")),
    *[(name, args, MAT, np.arange(6.0).reshape(2, 3))
      for name, args in (("get_ticket_list", ()), ("get_ohlc", ()), ("fetch_events", ()),
                         ("end_session", ()), ("close_positions", ([], [], [])))],
    ("get_ohlc", (), mat_f64(0, 5), np.zeros((0, 0))),
    ("get_ohlc", (), mat_f64(1, 4, BITS), array([BITS])),
    ("get_ohlc", (), b"\x00" * 7, ValueError("MatF64 payload too short")),
    ("fetch_events", (), mat_f64(2, 3)[:40], ValueError("MatF64 length mismatch: expected 56, got 40")),
    ("end_session", (), mat_f64(1, 1) + b"\x00", ValueError("MatF64 length mismatch: expected 16, got 17")),
    ("close_positions", ([], [], []), SNAP, ValueError("MatF64 length mismatch: expected 8, got 20")),
    ("step_and_sync", (), vec_f64([2.5]) + mat_f64(2, 1, [1.0, 2.0]),
     (array([[1.0], [2.0]]), array([2.5]))),
    ("step_and_sync", (), vec_f64([]) + mat_f64(0, 3), (np.zeros((0, 0)), array([]))),
    ("step_and_sync", (), b"\x00" * 3, ValueError("VecMatF64 payload too short")),
    ("step_and_sync", (), vec_f64([2.5]), ValueError("VecMatF64 missing matrix header")),
    ("step_and_sync", (), vec_f64([2.5]) + b"\x01\x00\x00\x00\x01\x00\x00",
     ValueError("VecMatF64 missing matrix header")),
    ("step_and_sync", (), vec_f64([2.5]) + mat_f64(1, 1, [1.0]) + b"\x00",
     ValueError("VecMatF64 length mismatch: expected 28, got 29")),
]


def assert_same(result, expected):
    if isinstance(expected, np.ndarray):
        assert isinstance(result, np.ndarray)
        assert result.dtype == np.float64 and result.shape == expected.shape
        assert result.flags.c_contiguous and result.flags.writeable
        assert result.tobytes() == expected.tobytes()  # bit for bit, NaN payloads included
    elif isinstance(expected, tuple):
        assert type(result) is tuple and len(result) == len(expected)
        for got, want in zip(result, expected):
            assert_same(got, want)
    else:
        assert type(result) is type(expected) and result == expected


@pytest.mark.parametrize("method, args, reply, expected", REPLIES,
                         ids=[f"{row[0]}-{i}" for i, row in enumerate(REPLIES)])
def test_reply_decoding(method, args, reply, expected):
    async def script():
        async with connected() as (engine, ui, _):
            fut = getattr(engine, method)(*args, timeout_secs=STEP)
            req = await ui.recv_request()
            assert req.fn_id == FN[method]
            await ui.send(frame(RESPONSE, req.seq, req.fn_id, reply))
            try:
                result = await asyncio.wait_for(fut, STEP)
            except ValueError as exc:
                assert isinstance(expected, ValueError), f"unexpected {exc!r}"
                assert type(exc) is ValueError and str(exc) == str(expected)
            else:
                assert not isinstance(expected, Exception), f"expected {expected!r}, got {result!r}"
                assert_same(result, expected)
            # A reply that does not decode leaves the connection in place; the number is spent.
            req, _ = await call(ui, engine.step_next(timeout_secs=STEP))
            assert req.seq == 2
    run(script())


@pytest.mark.parametrize("method, reply", [
    ("get_ohlc", mat_f64(2, 0)),
    ("step_and_sync", vec_f64([1.0]) + mat_f64(3, 0)),
])
def test_matrix_without_columns_gives_empty_rows_or_value_error(method, reply):
    # Either outcome is acceptable; ending the process or hanging is not.
    async def script():
        async with connected() as (engine, ui, _):
            fut = getattr(engine, method)(timeout_secs=STEP)
            req = await ui.recv_request()
            await ui.send(frame(RESPONSE, req.seq, req.fn_id, reply))
            try:
                result = await asyncio.wait_for(fut, STEP)
            except ValueError:
                pass
            else:
                mat = result[0] if method == "step_and_sync" else result
                rows = struct.unpack_from("<I", reply, len(reply) - 8)[0]
                assert mat.dtype == np.float64 and mat.shape == (rows, 0)
            req, _ = await call(ui, engine.step_next(timeout_secs=STEP))
            assert req.seq == 2
    run(script())


def test_fortran_ordered_candles_are_sent_row_major_or_refused():
    candles = np.asfortranarray(np.arange(6.0).reshape(2, 3))

    async def script():
        async with connected() as (engine, ui, _):
            try:
                fut = engine.init_candles(candles, timeout_secs=STEP)
            except TypeError as exc:
                assert str(exc) == "The given array is not contiguous"
                return
            await call(ui, fut)
            assert ui.requests == [request_bytes(1, 100, mat_f64(2, 3, range(6)))]
    run(script())


def reply_start(array):
    """The first byte of the reply payload that owns `array` (its base)."""
    first_byte = ctypes.pythonapi.PyCapsule_GetPointer
    first_byte.restype, first_byte.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return first_byte(array.base, b"py_engine_native.reply")


def test_matrix_reply_is_viewed_in_its_buffer_past_the_engine():
    # 128 x 100 doubles: a pooled buffer, which would serve the next reply if it were let go.
    values = [np.arange(12800.0).reshape(128, 100), -np.ones((128, 100))]

    async def ohlc(payload):
        async with connected() as (engine, ui, _):
            _, result = await call(ui, engine.get_ohlc(timeout_secs=STEP), payload)
            await asyncio.wait_for(engine.close(), STEP)
        return result

    first = run(ohlc(mat_f64(128, 100, values[0].ravel())))
    gc.collect()
    second = run(ohlc(mat_f64(128, 100, values[1].ravel())))
    for result, expected in zip((first, second), values):
        assert result.ctypes.data == reply_start(result) + 8  # after the rows and columns
        assert_same(result, expected)
    first[0, 0] = 7.0
    assert second[0, 0] == -1.0
