# The request/reply cycle against a scripted UI: numbering, every way a call can fail and what
# that does to the connection, pings and ignored frames, cancellation, replacement of the UI.
import asyncio
import re
import time

import numpy as np
import pytest

from py_engine_native import RpcError, RpcTransportError
from standin import (ERROR_RESPONSE, PING, PONG, RESPONSE, STEP, StandIn, call, connected,
                     error_body, error_response, expect_error, frame, mat_f64, new_engine,
                     outcome, parse_frame, request_bytes, response, rpc_error, run,
                     transport_error, vec_f64)

MAT = mat_f64(2, 3)
MAT_ARRAY = np.arange(6.0).reshape(2, 3)
SNAP = vec_f64([1.5, -2.0])
NOT_CONNECTED = "no websocket connected"
# A client that vanishes makes the next call fail in whichever of these ways the socket shows.
VANISHED = r"websocket (closed|send failed: .+|recv failed: .+)"


async def expect_unplugged(engine, fn_name="get_snapshot", fn_id=12):
    await expect_error(getattr(engine, fn_name)(timeout_secs=1), RuntimeError,
                       transport_error(None, fn_id, NOT_CONNECTED))


async def expect_snapshot_on(ui, engine, seq):
    req, result = await call(ui, engine.get_snapshot(timeout_secs=STEP), SNAP)
    assert req.seq == seq and req.fn_id == 12
    np.testing.assert_array_equal(result, [1.5, -2.0])


@pytest.mark.parametrize("method, args, fn_id", [
    ("get_ohlc", (), 15),
    ("step_next", (), 2),
    ("init_candles", (np.zeros((1, 5)),), 100),
    ("get_sync_policy", (), 120),
    ("place_ticket", ("buy", 1), 21),
])
@pytest.mark.parametrize("started", [False, True])
def test_call_without_ui_fails_at_once(method, args, fn_id, started):
    async def script():
        engine, _ = new_engine()
        if started:
            await engine.start()
        await expect_error(getattr(engine, method)(*args), RuntimeError,
                           transport_error(None, fn_id, NOT_CONNECTED))
    run(script())


@pytest.mark.parametrize("start_seq, expected", [
    (None, [1, 2, 3]),
    (0, [0, 1, 2]),
    (4294967294, [4294967294, 4294967295, 0]),
    (4294967295, [4294967295, 0, 1]),
])
def test_requests_are_numbered_from_start_seq_and_wrap(start_seq, expected):
    async def script():
        async with connected(start_seq) as (engine, ui, _):
            for seq in expected:
                await expect_snapshot_on(ui, engine, seq)
            assert [parse_frame(r).seq for r in ui.requests] == expected
    run(script())


# Replies that fail the waiting get_ohlc call (request seq 1, fnId 15). `kept` says whether the
# connection survives; a failed call's sequence number is spent either way.
FAILING_REPLIES = [
    ("error reply", lambda r: error_response(r, 5, 1, "bad price"),
     RuntimeError, rpc_error(1, 15, 5, 1, "bad price"), True),
    ("error body too short", lambda r: frame(ERROR_RESPONSE, r.seq, r.fn_id, b"\x05\x00\x01\x00\x09"),
     RuntimeError, rpc_error(1, 15, 0, 0, ""), True),
    ("error message longer than body",
     lambda r: frame(ERROR_RESPONSE, r.seq, r.fn_id, error_body(7, 9, b"x" * 20, declared_len=100)),
     RuntimeError, rpc_error(1, 15, 7, 9, ""), True),
    ("error message with invalid UTF-8",
     lambda r: frame(ERROR_RESPONSE, r.seq, r.fn_id, error_body(65535, 2, b"bad \xff price")),
     RuntimeError, rpc_error(1, 15, 65535, 2, "bad \ufffd price"), True),
    ("bytes after the error message",
     lambda r: frame(ERROR_RESPONSE, r.seq, r.fn_id, error_body(3, 4, "ok") + b"junk"),
     RuntimeError, rpc_error(1, 15, 3, 4, "ok"), True),
    ("10-byte frame", lambda r: b"\x01\x02" + b"\x00" * 8,
     ValueError, "frame too short: 10 < 16", True),
    ("empty binary message", lambda r: b"",
     ValueError, "frame too short: 0 < 16", True),
    ("payload_len larger than the payload",
     lambda r: frame(RESPONSE, r.seq, r.fn_id, b"\x00" * 4, payload_len=8),
     ValueError, "payload length mismatch: expected 24, got 20", True),
    ("payload_len smaller than the payload",
     lambda r: frame(RESPONSE, r.seq, r.fn_id, MAT, payload_len=0),
     ValueError, f"payload length mismatch: expected 16, got {16 + len(MAT)}", True),
    ("payload_len at its maximum",
     lambda r: frame(RESPONSE, r.seq, r.fn_id, b"", payload_len=0xFFFFFFFF),
     ValueError, "payload length mismatch: expected 4294967311, got 16", True),
    ("reply payload of the wrong kind", lambda r: response(r, b"\x00" * 7),
     ValueError, "MatF64 payload too short", True),
    ("version 2", lambda r: frame(RESPONSE, r.seq, r.fn_id, MAT, version=2),
     RuntimeError, transport_error(1, 15, "protocol version mismatch: got 2, expected 1"), False),
    ("version 0 on a frame of an ignored kind", lambda r: frame(6, r.seq, r.fn_id, version=0),
     RuntimeError, transport_error(1, 15, "protocol version mismatch: got 0, expected 1"), False),
    ("reply for the next request", lambda r: frame(RESPONSE, r.seq + 1, r.fn_id, MAT),
     RuntimeError, transport_error(1, 15, "seq mismatch: expected 1, got 2"), False),
    ("error reply for another request",
     lambda r: frame(ERROR_RESPONSE, 77, r.fn_id, error_body(1, 1, "x")),
     RuntimeError, transport_error(1, 15, "seq mismatch: expected 1, got 77"), False),
    ("reply for another function", lambda r: frame(RESPONSE, r.seq, 12, SNAP),
     RuntimeError, transport_error(1, 15, "fnId mismatch: expected 15, got 12"), False),
]


@pytest.mark.parametrize("reply, exc_type, text, kept",
                         [row[1:] for row in FAILING_REPLIES], ids=[row[0] for row in FAILING_REPLIES])
def test_failing_reply(reply, exc_type, text, kept):
    async def script():
        async with connected() as (engine, ui, _):
            fut = engine.get_ohlc(timeout_secs=STEP)
            req = await ui.recv_request()
            await ui.send(reply(req))
            await expect_error(fut, exc_type, text)
            if kept:
                await expect_snapshot_on(ui, engine, 2)
            else:
                closed = await ui.expect_dropped()
                assert closed.rcvd is None, "dropped without a close frame"
                await expect_unplugged(engine)
    run(script())


# A call's failure kinds carry their numbers (u32 seq, u16 fnId and codes at their maxima),
# so that Python code never parses the text.
FAILURE_NUMBERS = [
    ("error reply", lambda r: error_response(r, 65535, 7, "no"), RpcError,
     {"seq": 4294967295, "fn_id": 15, "err": 65535, "sub": 7}),
    ("seq mismatch", lambda r: frame(RESPONSE, 3, r.fn_id, MAT), RpcTransportError,
     {"seq": 4294967295, "fn_id": 15}),
    ("no UI", None, RpcTransportError, {"seq": None, "fn_id": 15}),
]


@pytest.mark.parametrize("reply, cls, numbers", [row[1:] for row in FAILURE_NUMBERS],
                         ids=[row[0] for row in FAILURE_NUMBERS])
def test_failure_kinds_carry_seq_and_fn_id(reply, cls, numbers):
    async def script():
        if reply is None:
            engine, _ = new_engine()
            kind, exc = await outcome(engine.get_ohlc())
        else:
            async with connected(start_seq=4294967295) as (engine, ui, _):
                fut = engine.get_ohlc(timeout_secs=STEP)
                await ui.send(reply(await ui.recv_request()))
                kind, exc = await outcome(fut)
        assert kind == "error" and type(exc) is cls and isinstance(exc, RuntimeError)
        assert {name: getattr(exc, name) for name in numbers} == numbers
    run(script())


@pytest.mark.parametrize("timeout_secs", [0.3, 0, -0.0, 1e-10])
def test_silent_ui_times_out_and_loses_its_connection(timeout_secs):
    async def script():
        async with connected() as (engine, ui, _):
            fut = engine.get_ohlc(timeout_secs=timeout_secs)
            req = await ui.recv_request()
            assert (req.seq, req.fn_id) == (1, 15)
            await expect_error(fut, RuntimeError, transport_error(1, 15, "timeout waiting response"))
            closed = await ui.expect_dropped()
            assert closed.rcvd is None
            await expect_unplugged(engine, "get_ohlc", 15)
            await expect_error(engine.wait_connected(timeout_secs=0.2), RuntimeError,
                               transport_error(None, None, "wait_connected timed out"))
    run(script())


def test_reply_that_arrived_before_the_wait_beats_a_zero_timeout():
    async def script():
        async with connected() as (engine, ui, _):
            # The stand-in knows the next number and answers before being asked.
            await ui.send(frame(RESPONSE, 1, 15, MAT))
            await asyncio.sleep(0.3)
            fut = engine.get_ohlc(timeout_secs=0)
            req = await ui.recv_request()
            result = await asyncio.wait_for(fut, STEP)
            assert (req.seq, req.fn_id) == (1, 15)
            np.testing.assert_array_equal(result, MAT_ARRAY)
    run(script())


def test_ui_closing_during_the_wait():
    async def script():
        async with connected() as (engine, ui, _):
            fut = engine.get_ohlc(timeout_secs=STEP)
            await ui.recv_request()
            closing = asyncio.create_task(ui.ws.close())
            await expect_error(fut, RuntimeError, transport_error(1, 15, "websocket closed"))
            await asyncio.wait_for(closing, STEP)
            await expect_unplugged(engine)
    run(script())


def test_ui_vanishing_during_the_wait():
    async def script():
        async with connected() as (engine, ui, _):
            fut = engine.get_ohlc(timeout_secs=STEP)
            await ui.recv_request()
            ui.abort()
            kind, exc = await outcome(fut)
            assert kind == "error" and type(exc) is RpcTransportError
            prefix = transport_error(1, 15, "")
            assert str(exc).startswith(prefix) and re.fullmatch(VANISHED, str(exc)[len(prefix):])
            await expect_unplugged(engine)
    run(script())


@pytest.mark.parametrize("leave", ["close", "abort"])
def test_ui_gone_between_calls_is_found_by_the_next_call(leave):
    async def script():
        async with connected() as (engine, ui, _):
            await expect_snapshot_on(ui, engine, 1)
            if leave == "close":
                await ui.ws.close()  # the engine is not reading: the client gives up after 1 s
            else:
                ui.abort()
            await asyncio.sleep(0.2)
            # Only a failed call empties the slot.
            await asyncio.wait_for(engine.wait_connected(timeout_secs=0), STEP)
            kind, exc = await outcome(engine.get_ohlc(timeout_secs=STEP))
            assert kind == "error" and type(exc) is RpcTransportError
            prefix = transport_error(2, 15, "")
            assert str(exc).startswith(prefix) and re.fullmatch(VANISHED, str(exc)[len(prefix):])
            await expect_unplugged(engine)
    run(script())


async def send_noise(ui):
    await ui.send("some text")
    await ui.ws.pong(b"unsolicited")
    for kind in (0, 1, 5, 6, 255):
        # Ignored kinds are dropped before their numbers are looked at.
        await ui.send(frame(kind, 999, 999, b"xyz"))


@pytest.mark.parametrize("when", ["before the call", "during the wait"])
def test_noise_is_ignored(when):
    async def script():
        async with connected() as (engine, ui, _):
            if when == "before the call":
                await send_noise(ui)
                await asyncio.sleep(0.1)
            fut = engine.get_ohlc(timeout_secs=STEP)
            req = await ui.recv_request()
            if when == "during the wait":
                await send_noise(ui)
            await ui.send(frame(RESPONSE, req.seq, req.fn_id, MAT, flags=0xBEEF, reserved=0xFFFF))
            np.testing.assert_array_equal(await asyncio.wait_for(fut, STEP), MAT_ARRAY)
            await expect_snapshot_on(ui, engine, 2)
    run(script())


@pytest.mark.parametrize("ping, pong", [
    (frame(PING, 9, 3, b"\xab\xcd"),
     bytes.fromhex("01050000 09000000 0300 0000 02000000 abcd")),
    (frame(PING, 0xFFFFFFFF, 0xFFFF, b"", flags=7, reserved=9),
     bytes.fromhex("01050000 ffffffff ffff 0000 00000000")),
])
def test_ping_frame_is_echoed_and_the_wait_goes_on(ping, pong):
    async def script():
        async with connected() as (engine, ui, _):
            fut = engine.get_snapshot(timeout_secs=STEP)
            req = await ui.recv_request()
            await ui.send(ping)
            assert await asyncio.wait_for(ui.ws.recv(), STEP) == pong
            await ui.send(response(req, SNAP))
            np.testing.assert_array_equal(await asyncio.wait_for(fut, STEP), [1.5, -2.0])
    run(script())


def test_pings_sent_between_calls_are_answered_only_by_the_next_wait():
    async def script():
        async with connected() as (engine, ui, _):
            pong = await ui.ws.ping(b"early")  # a WebSocket Ping
            await ui.send(frame(PING, 4, 5, b"queued"))
            await ui.expect_nothing(0.3)  # nothing reads the connection between calls
            assert not pong.done()
            fut = engine.get_snapshot(timeout_secs=STEP)
            req = await ui.recv_request()
            assert await asyncio.wait_for(ui.ws.recv(), STEP) == frame(PONG, 4, 5, b"queued")
            await asyncio.wait_for(pong, STEP)
            await ui.send(response(req, SNAP))
            np.testing.assert_array_equal(await asyncio.wait_for(fut, STEP), [1.5, -2.0])
    run(script())


@pytest.mark.parametrize("how", ["cancel", "wait_for", "task"])
def test_stray_reply_after_cancel_fails_the_next_call(how):
    async def script():
        loop = asyncio.get_running_loop()
        loop_errors = []
        loop.set_exception_handler(lambda _loop, ctx: loop_errors.append(ctx))
        async with connected() as (engine, ui, _):
            fut = engine.get_ohlc(timeout_secs=STEP)
            if how == "wait_for":
                waiter = asyncio.create_task(asyncio.wait_for(fut, 0.2))
            elif how == "task":
                waiter = asyncio.create_task(asyncio.wait_for(fut, STEP))
            req = await ui.recv_request()
            if how == "cancel":
                fut.cancel()
            elif how == "task":
                waiter.cancel()
            if how != "cancel":
                with pytest.raises((asyncio.CancelledError, asyncio.TimeoutError)):
                    await waiter
            assert fut.cancelled()
            await asyncio.sleep(0.2)
            await ui.send(response(req, MAT))  # too late: nobody waits for it
            await asyncio.sleep(0.2)
            nxt = engine.get_snapshot(timeout_secs=STEP)
            assert (await ui.recv_request()).seq == 2
            await expect_error(nxt, RuntimeError, transport_error(2, 12, "seq mismatch: expected 2, got 1"))
            await ui.expect_dropped()
            assert fut.cancelled()
        assert loop_errors == []
    run(script())


@pytest.mark.parametrize("delay", [0, 0.0005, 0.002, 0.01])
def test_reply_racing_the_cancellation_is_discarded_quietly(delay):
    async def script():
        loop = asyncio.get_running_loop()
        loop_errors = []
        loop.set_exception_handler(lambda _loop, ctx: loop_errors.append(ctx))
        async with connected() as (engine, ui, _):
            fut = engine.get_snapshot(timeout_secs=STEP)
            await ui.answer(SNAP)
            await asyncio.sleep(delay)  # cancel at varying points of the completion
            fut.cancel()
            await asyncio.sleep(0.3)
            assert fut.cancelled() or list(fut.result()) == [1.5, -2.0]
        assert loop_errors == []
    run(script())


def test_future_that_nobody_awaits_still_gets_its_result():
    async def script():
        async with connected() as (engine, ui, _):
            fut = engine.get_snapshot(timeout_secs=STEP)
            await ui.answer(SNAP)
            deadline = time.monotonic() + STEP
            while not fut.done() and time.monotonic() < deadline:
                await asyncio.sleep(0.01)
            np.testing.assert_array_equal(fut.result(), [1.5, -2.0])
    run(script())


def test_calls_in_flight_together_complete_independently():
    replies = {15: MAT, 12: SNAP, 101: b"\x2a\x00\x00\x00", 102: b'{"seed":3}'}

    async def script():
        async with connected() as (engine, ui, _):
            server = asyncio.create_task(ui.serve(lambda req: response(req, replies[req.fn_id])))
            results = await asyncio.wait_for(asyncio.gather(
                engine.get_ohlc(timeout_secs=STEP), engine.get_snapshot(timeout_secs=STEP),
                engine.reset_episode(1, "test", timeout_secs=STEP),
                engine.get_rl_config(timeout_secs=STEP)), STEP)
            server.cancel()
            np.testing.assert_array_equal(results[0], MAT_ARRAY)
            np.testing.assert_array_equal(results[1], [1.5, -2.0])
            assert results[2:] == [42, '{"seed":3}']
            assert sorted(parse_frame(r).seq for r in ui.requests) == [1, 2, 3, 4]
    run(script())


def test_call_outside_an_event_loop_sends_nothing():
    async def script():
        async with connected() as (engine, ui, _):
            with pytest.raises(RuntimeError):
                await asyncio.to_thread(engine.step_next)
            await ui.expect_nothing(0.2)
            fut = engine.step_next(timeout_secs=STEP)
            await ui.recv_request()
            assert ui.requests == [request_bytes(1, 2)]
            await ui.send(frame(RESPONSE, 1, 2))
            assert await asyncio.wait_for(fut, STEP) is None
    run(script())


def test_new_ui_replaces_an_idle_one_and_numbering_restarts():
    async def script():
        async with connected(start_seq=7) as (engine, first, port):
            await expect_snapshot_on(first, engine, 7)
            await expect_snapshot_on(first, engine, 8)
            second = await StandIn.connect(port)
            closed = await first.expect_dropped()
            assert closed.rcvd is None, "replaced without a close frame"
            await expect_snapshot_on(second, engine, 7)
            await second.close()
    run(script())


@pytest.mark.parametrize("end", ["reply", "error reply", "timeout"])
def test_new_ui_waits_for_the_call_that_holds_the_old_one(end):
    async def script():
        async with connected() as (engine, first, port):
            fut = engine.get_ohlc(timeout_secs=1.0 if end == "timeout" else STEP)
            req = await first.recv_request()
            second = await StandIn.connect(port)  # greeted at once, installed later
            await first.expect_nothing(0.3)
            if end == "reply":
                await first.send(response(req, MAT))
                np.testing.assert_array_equal(await asyncio.wait_for(fut, STEP), MAT_ARRAY)
            elif end == "error reply":
                await first.send(error_response(req, 1, 2, "no"))
                await expect_error(fut, RuntimeError, rpc_error(1, 15, 1, 2, "no"))
            else:
                await expect_error(fut, RuntimeError, transport_error(1, 15, "timeout waiting response"))
            await first.expect_dropped()
            # The clean-up after the time-out spares the connection installed meanwhile.
            await expect_snapshot_on(second, engine, 1)
            await second.close()
    run(script())


def test_reconnection_after_a_failure_restarts_numbering():
    async def script():
        async with connected(start_seq=10) as (engine, first, port):
            await expect_snapshot_on(first, engine, 10)
            fut = engine.get_snapshot(timeout_secs=0.2)
            await first.recv_request()
            await expect_error(fut, RuntimeError, transport_error(11, 12, "timeout waiting response"))
            await expect_unplugged(engine)
            second = await StandIn.connect(port)
            await asyncio.wait_for(engine.wait_connected(timeout_secs=STEP), STEP)
            await expect_snapshot_on(second, engine, 10)
            await expect_snapshot_on(second, engine, 11)
            await second.close()
    run(script())


def test_large_reply_and_request():
    values = np.random.default_rng(5).standard_normal(1_000_000)
    candles = np.random.default_rng(6).standard_normal((200_000, 5))

    async def script():
        async with connected() as (engine, ui, _):
            _, result = await call(ui, engine.get_snapshot(timeout_secs=STEP), vec_f64(values))
            assert result.tobytes() == values.tobytes()
            req, none = await call(ui, engine.init_candles(candles, timeout_secs=STEP))
            assert none is None and req.payload_len == 8 + 8 * candles.size
            assert req.payload[8:] == candles.tobytes()
    run(script(), timeout=60)


@pytest.mark.slow
@pytest.mark.parametrize("method, fn_id, seconds", [("get_sync_policy", 120, 5.0),
                                                    ("get_ohlc", 15, 10.0)])
def test_default_timeouts(method, fn_id, seconds):
    async def script():
        async with connected() as (engine, ui, _):
            started = time.monotonic()
            fut = getattr(engine, method)()
            await ui.recv_request()
            await expect_error(fut, RuntimeError, transport_error(1, fn_id, "timeout waiting response"),
                               timeout=seconds + STEP)
            elapsed = time.monotonic() - started
            assert seconds - 0.1 <= elapsed < seconds + 3
    run(script(), timeout=30)


@pytest.mark.parametrize("sync_wait", [True, False])
def test_sync_wait_switch_changes_no_outcome(sync_wait):
    """Where a call waits is not what it returns: with the UI on the caller's own loop (it cannot
    answer while the caller waits on the socket) every call completes, with the wait on or off."""
    async def script():
        async with connected() as (engine, ui, _):
            assert engine.sync_wait is True
            engine.sync_wait = sync_wait
            for seq in (1, 2, 3, 4):
                await expect_snapshot_on(ui, engine, seq)
            with pytest.raises(TypeError, match="sync_wait must be True or False"):
                engine.sync_wait = 1
            assert engine.sync_wait is sync_wait
    run(script())
