# The engine's life: start and bind failures, wait_connected, admission of clients by Origin
# (with the exact refusal bytes and the server's stderr lines), and a clean interpreter exit
# whatever is in flight.
import asyncio
import socket
import sys
import textwrap
import time

import pytest

from standin import (FORBIDDEN, HANDSHAKE_TEXT, STEP, StandIn, child_env, connected,
                     expect_error, free_port, mat_f64, new_engine, raw_upgrade, read_until_eof,
                     response, run, transport_error)

GREETING = b"\x81" + HANDSHAKE_TEXT.encode()  # a final text frame holding the handshake text


def origin(value):
    return [b"Origin: " + value]


def panic_name(call):
    try:
        call()
    except BaseException as exc:
        return type(exc).__name__, exc.args
    return None


def test_start_resolves_without_a_client_and_a_second_start_cannot_bind():
    async def script():
        engine, port = new_engine()
        assert await asyncio.wait_for(engine.start(), STEP) is None
        await expect_error(engine.start(), RuntimeError, transport_error(
            None, None, f"bind failed on 127.0.0.1:{port}: Address already in use (os error 98)"))
        # The first listener still admits clients.
        ui = await StandIn.connect(port)
        await asyncio.wait_for(engine.wait_connected(timeout_secs=STEP), STEP)
        await ui.close()
    run(script())


def test_bind_failure_leaves_the_engine_usable():
    async def script():
        engine, port = new_engine()
        blocker = socket.socket()
        blocker.bind(("127.0.0.1", port))
        blocker.listen()
        await expect_error(engine.start(), RuntimeError, transport_error(
            None, None, f"bind failed on 127.0.0.1:{port}: Address already in use (os error 98)"))
        blocker.close()
        assert await asyncio.wait_for(engine.start(), STEP) is None
        ui = await StandIn.connect(port)
        await ui.close()
    run(script())


def test_port_zero_binds_an_ephemeral_port_every_time():
    async def script():
        from py_engine_native import NativeEngineAsync
        engine = NativeEngineAsync("127.0.0.1", 0)
        assert await asyncio.wait_for(engine.start(), STEP) is None
        assert await asyncio.wait_for(engine.start(), STEP) is None
    run(script())


def test_calls_outside_an_event_loop():
    engine, _ = new_engine()
    for method in (engine.start, engine.wait_connected):
        with pytest.raises(RuntimeError, match="no running event loop"):
            method()
    # Argument conversion comes before the loop is looked up.
    assert panic_name(lambda: engine.wait_connected(-1)) == (
        "PanicException", ("cannot convert float seconds to Duration: value is negative",))
    assert panic_name(lambda: engine.wait_connected(float("nan"))) == (
        "PanicException", ("cannot convert float seconds to Duration: value is either too big or NaN",))


@pytest.mark.parametrize("timeout_secs", [0.5, 0, -0.0])
def test_wait_connected_times_out_without_a_client(timeout_secs):
    async def script():
        engine, _ = new_engine()
        await engine.start()
        started = time.monotonic()
        await expect_error(engine.wait_connected(timeout_secs), RuntimeError,
                           transport_error(None, None, "wait_connected timed out"))
        assert time.monotonic() - started >= timeout_secs * 0.9
    run(script())


def test_every_pending_wait_is_woken_by_one_admission():
    async def script():
        engine, port = new_engine()
        await engine.start()
        waits = [engine.wait_connected(), engine.wait_connected(timeout_secs=STEP),
                 engine.wait_connected(timeout_secs=1e9)]
        cancelled = engine.wait_connected()
        await asyncio.sleep(0.2)
        cancelled.cancel()
        assert not any(w.done() for w in waits)
        ui = await StandIn.connect(port)
        assert await asyncio.wait_for(asyncio.gather(*waits), STEP) == [None, None, None]
        # Once a client is installed, a new wait ends at once, even with no time at all.
        assert await asyncio.wait_for(engine.wait_connected(timeout_secs=0), STEP) is None
        await ui.close()
    run(script())


def test_wait_connected_before_start_resolves_once_started_and_connected():
    async def script():
        engine, port = new_engine()
        wait = engine.wait_connected(timeout_secs=STEP)
        await engine.start()
        ui = await StandIn.connect(port)
        assert await asyncio.wait_for(wait, STEP) is None
        await ui.close()
    run(script())


def test_two_engines_number_their_requests_independently():
    async def script():
        async with connected() as (first, ui1, _), connected(start_seq=50) as (second, ui2, _):
            for _ in range(2):
                fut = first.get_ohlc(timeout_secs=STEP)
                await ui1.answer(mat_f64(1, 1))
                await asyncio.wait_for(fut, STEP)
            fut = second.get_ohlc(timeout_secs=STEP)
            req = await ui2.answer(mat_f64(1, 1))
            await asyncio.wait_for(fut, STEP)
            assert req.seq == 50
            await ui1.expect_nothing(0.1)
    run(script())


ADMITTED = [
    ("no Origin header", []),
    ("empty", origin(b"")),
    ("localhost with port", origin(b"http://localhost:5173")),
    ("127.0.0.1 with port and slash", origin(b"http://127.0.0.1:8080/")),
    ("bare 127.0.0.1", origin(b"http://127.0.0.1")),
    ("bare https localhost", origin(b"https://localhost")),
    ("https with port and path", origin(b"https://127.0.0.1:443/app/")),
    ("localhost with path", origin(b"http://localhost/app")),
    ("several trailing slashes", origin(b"http://localhost///")),
    ("slashes only", origin(b"///")),
    ("non-ASCII counts as empty", origin(b"https://\xc3\xa9vil.example")),
    ("first of two Origin headers", origin(b"http://localhost") + origin(b"https://evil.example")),
]

REJECTED = [
    ("other host, trailing slash", origin(b"https://evil.example/")),
    ("localhost as a prefix of a host name", origin(b"http://localhost.attacker.example")),
    ("127.0.0.1 as a prefix of a host name", origin(b"http://127.0.0.1.attacker.example")),
    ("port followed by a host name", origin(b"http://localhost:5173.attacker.example")),
    ("port that is not a number", origin(b"http://localhost:abc")),
    ("user info", origin(b"http://localhost@evil.example")),
    ("capitals", origin(b"HTTP://LOCALHOST")),
    ("shorter than every prefix", origin(b"http://127.0.0")),
    ("null", origin(b"null")),
    ("websocket scheme", origin(b"ws://localhost")),
    ("header name in lower case", [b"origin: https://evil.example"]),
    ("first of two Origin headers", origin(b"https://evil.example") + origin(b"http://localhost")),
]


@pytest.mark.parametrize("lines", [row[1] for row in ADMITTED], ids=[row[0] for row in ADMITTED])
def test_admitted_origin_gets_the_handshake_text(lines):
    async def script():
        engine, port = new_engine()
        await engine.start()
        assert await raw_upgrade(port, lines) == ("switched", GREETING)
        await asyncio.wait_for(engine.wait_connected(timeout_secs=STEP), STEP)
    run(script())


@pytest.mark.parametrize("lines", [row[1] for row in REJECTED], ids=[row[0] for row in REJECTED])
def test_rejected_origin_gets_exactly_403_and_the_end_of_the_stream(lines):
    async def script():
        engine, port = new_engine()
        await engine.start()
        assert await raw_upgrade(port, lines) == ("forbidden", FORBIDDEN)
        await expect_error(engine.wait_connected(timeout_secs=0.2), RuntimeError,
                           transport_error(None, None, "wait_connected timed out"))
        # The refusal changes nothing for the next client.
        assert await raw_upgrade(port, origin(b"http://localhost")) == ("switched", GREETING)
    run(script())


def test_silent_client_does_not_hold_up_the_next_one():
    async def script():
        engine, port = new_engine()
        await engine.start()
        _, idle = await asyncio.open_connection("127.0.0.1", port)
        _, half = await asyncio.open_connection("127.0.0.1", port)
        half.write(b"GET / HTTP/1.1\r\nHost: x\r\n")
        ui = await StandIn.connect(port, timeout=2.0)
        await asyncio.wait_for(engine.wait_connected(timeout_secs=STEP), STEP)
        await ui.close()
        idle.transport.abort()
        half.transport.abort()
    run(script())


@pytest.mark.slow
def test_silent_client_is_dropped_after_a_while():
    async def script():
        engine, port = new_engine()
        await engine.start()
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        started = time.monotonic()
        await read_until_eof(reader, timeout=15)
        assert time.monotonic() - started < 15
        writer.transport.abort()
    run(script(), timeout=30)


# ---------------------------------------------------------------- the engine in a child process

SERVE_UNTIL_STDIN_CLOSES = """
import asyncio, sys
from py_engine_native import NativeEngineAsync

async def main():
    engine = NativeEngineAsync("127.0.0.1", {port})
    await engine.start()
    print("ready", flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)

asyncio.run(main())
"""


async def start_child(script, **fmt):
    proc = await asyncio.create_subprocess_exec(
        sys.executable, "-c", textwrap.dedent(script).format(**fmt), env=child_env(),
        stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.PIPE)
    line = await asyncio.wait_for(proc.stdout.readline(), 10)
    assert line == b"ready\n", (line, await proc.stderr.read())
    return proc


async def stderr_lines(proc, count):
    return [(await asyncio.wait_for(proc.stderr.readline(), STEP)).decode() for _ in range(count)]


def test_server_diagnostics_on_stderr():
    rejected = [(b"https://evil.example/", "https://evil.example"),
                (b"http://localhost.attacker.example", "http://localhost.attacker.example"),
                (b"null", "null"),
                (b"HTTP://LOCALHOST//", "HTTP://LOCALHOST")]

    async def script():
        port = free_port()
        proc = await start_child(SERVE_UNTIL_STDIN_CLOSES, port=port)
        try:
            for value, logged in rejected:
                assert await raw_upgrade(port, origin(value)) == ("forbidden", FORBIDDEN)
                assert await stderr_lines(proc, 2) == [
                    f"[native ws server] rejected origin: {logged}\n",
                    "[native ws server] accept failed: HTTP error: 403 Forbidden\n"]
            # A request that is not a WebSocket upgrade fails the handshake.
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
            writer.write(b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                         b"Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n\r\n")
            reply = await read_until_eof(reader)
            assert not reply.startswith(b"HTTP/1.1 101")
            [line] = await stderr_lines(proc, 1)
            assert line.startswith("[native ws server] accept failed: WebSocket protocol error: ")
            # Admitted clients leave no trace.
            for lines in ([], origin(b"http://localhost:5173/"), origin(b"\xff\xfe")):
                assert await raw_upgrade(port, lines) == ("switched", GREETING)
            proc.stdin.close()
            assert await asyncio.wait_for(proc.wait(), 10) == 0
            assert await proc.stderr.read() == b""
        finally:
            if proc.returncode is None:
                proc.kill()
                await proc.wait()
    run(script(), timeout=60)


EXIT_WITH_WORK_IN_FLIGHT = """
import asyncio, sys
from py_engine_native import NativeEngineAsync

async def main():
    engine = NativeEngineAsync("127.0.0.1", {port})
    await engine.start()
    print("ready", flush=True)
    if {with_client}:
        await engine.wait_connected()
        calls = [engine.get_ohlc() for _ in range(10)]
        calls += [engine.get_snapshot(timeout_secs=0.01 * i) for i in range(10)]
    else:
        waits = [engine.wait_connected() for _ in range(3)]
    await asyncio.sleep(0.3)
    if {status}:
        sys.exit({status})

if {leave_loop_open}:
    asyncio.new_event_loop().run_until_complete(main())
else:
    asyncio.run(main())
"""


@pytest.mark.parametrize("attempt", range(2))
@pytest.mark.parametrize("ending", ["return", "exit3", "loop left open"])
@pytest.mark.parametrize("ui", ["none", "silent", "answering"])
def test_interpreter_exits_cleanly_with_work_in_flight(ui, ending, attempt):
    status = 3 if ending == "exit3" else 0

    async def script():
        port = free_port()
        proc = await start_child(EXIT_WITH_WORK_IN_FLIGHT, port=port, with_client=ui != "none",
                                 status=status, leave_loop_open=ending == "loop left open")
        client = None
        try:
            if ui != "none":
                client = await StandIn.connect(port)
                server = asyncio.create_task(client.serve(
                    lambda req: response(req, mat_f64(1, 1)) if ui == "answering" else None))
            # Less than the 10 s default time-out: exit must not wait for the calls.
            code = await asyncio.wait_for(proc.wait(), 8)
            err = (await proc.stderr.read()).decode(errors="replace")
            assert code == status, err
            assert "Fatal Python error" not in err and "Segmentation" not in err, err
            if client is not None:
                server.cancel()
                assert client.requests, "the calls reached the UI before the exit"
        finally:
            if proc.returncode is None:
                proc.kill()
                await proc.wait()
            if client is not None:
                await client.close()
    run(script(), timeout=30)


CLOSE_LOOP_WITH_A_CALL_IN_FLIGHT = """
import asyncio, time
from py_engine_native import NativeEngineAsync

async def main():
    engine = NativeEngineAsync("127.0.0.1", {port})
    await engine.start()
    print("ready", flush=True)
    await engine.wait_connected()
    return engine.get_ohlc(timeout_secs=0.3)

fut = asyncio.run(main())  # closes the loop with the call still waiting
time.sleep(1.5)
print("pending" if not fut.done() else "done", flush=True)
"""


def test_call_ending_after_its_loop_closed_reports_on_stderr_and_stays_pending():
    async def script():
        port = free_port()
        proc = await start_child(CLOSE_LOOP_WITH_A_CALL_IN_FLIGHT, port=port)
        client = await StandIn.connect(port)
        try:
            out, err = await asyncio.wait_for(proc.communicate(), 10)
            assert proc.returncode == 0, err
            assert out == b"pending\n"
            assert b"Traceback" in err and b"Event loop is closed" in err, err
            assert (await client.recv_request()).fn_id == 15
        finally:
            if proc.returncode is None:
                proc.kill()
                await proc.wait()
            await client.close()
    run(script())
