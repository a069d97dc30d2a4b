# Ending an engine: close() with calls in flight, with a UI connected, twice, and binding again;
# the bound address after start(); `async with`; nothing left behind (sockets, threads).
import asyncio
import os
import socket

import pytest
import websockets

from standin import (STEP, StandIn, connected, expect_error, new_engine, run, transport_error)
from py_engine_native import NativeEngineAsync

GET_OHLC = 15


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def threads():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("in_flight", [0, 1, 3])
def test_close_ends_the_connection_and_the_calls_on_it(in_flight):
    async def script():
        async with connected() as (engine, ui, port):
            calls = [engine.get_ohlc() for _ in range(in_flight)]
            if calls:
                first = await ui.recv_request()  # the first call now waits for its reply
            assert await asyncio.wait_for(engine.close(), STEP) is None
            with pytest.raises(websockets.ConnectionClosed):  # after the requests already sent
                while True:
                    await ui.recv_request()
            if calls:
                await expect_error(calls[0], RuntimeError,
                                   transport_error(first.seq, GET_OHLC, "websocket closed"))
            for queued in calls[1:]:  # each fails with the transport error of its step
                with pytest.raises(RuntimeError, match=r"^RpcTransportError\("):
                    await asyncio.wait_for(queued, STEP)
            await expect_error(engine.get_ohlc(), RuntimeError,
                               transport_error(None, GET_OHLC, "no websocket connected"))
            with pytest.raises(OSError):
                await StandIn.connect(port)
    run(script())


def test_close_twice_then_start_binds_the_same_port_and_waits_carry_over():
    async def script():
        engine, port = new_engine()
        assert await engine.close() is None  # before any start
        await asyncio.wait_for(engine.start(), STEP)
        waiting = engine.wait_connected()
        assert await asyncio.gather(engine.close(), engine.close()) == [None, None]
        assert await engine.close() is None
        await asyncio.sleep(0.2)
        assert not waiting.done()  # a wait outlives close(); the next start() can satisfy it
        assert await asyncio.wait_for(engine.start(), STEP) is None
        ui = await StandIn.connect(port)
        assert await asyncio.wait_for(waiting, STEP) is None
        await ui.close()
        await engine.close()
    run(script())


@pytest.mark.parametrize("host, address", [("127.0.0.1", "127.0.0.1"), ("[::1]", "::1")])
def test_bound_address_of_port_zero(host, address):
    async def script():
        engine = NativeEngineAsync(host, 0)
        assert (engine.bound_port, engine.bound_address) == (None, None)
        await asyncio.wait_for(engine.start(), STEP)
        port = engine.bound_port
        assert port > 0 and engine.bound_address == (address, port)
        with pytest.raises(AttributeError):
            engine.bound_port = 1
        ws = await asyncio.wait_for(websockets.connect(f"ws://{host}:{port}"), STEP)
        await asyncio.wait_for(engine.wait_connected(), STEP)
        await engine.close()
        assert (engine.bound_port, engine.bound_address) == (None, None)
        await ws.close()
        # The listening socket is gone: the port binds again at once (as the engine binds,
        # with SO_REUSEADDR, which the closed connection's TIME_WAIT needs).
        with socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((address, port))
            s.listen()
    run(script())


def test_async_with_starts_and_closes():
    async def script():
        with pytest.raises(KeyError):
            async with NativeEngineAsync("127.0.0.1", 0) as engine:
                assert isinstance(engine, NativeEngineAsync)
                port = engine.bound_port
                ui = await StandIn.connect(port)
                await asyncio.wait_for(engine.wait_connected(), STEP)
                raise KeyError("the block's own exception propagates")
        assert engine.bound_port is None
        await ui.expect_dropped()
        with pytest.raises(OSError):
            await StandIn.connect(port)
        # A bind failure on entry propagates from `async with`.
        async with NativeEngineAsync("127.0.0.1", 0) as holder:
            with pytest.raises(RuntimeError, match="bind failed on"):
                async with NativeEngineAsync("127.0.0.1", holder.bound_port):
                    pass
    run(script())


def test_closed_engines_leave_no_socket_or_thread_behind():
    async def cycle():
        engine = NativeEngineAsync("127.0.0.1", 0)
        await asyncio.wait_for(engine.start(), STEP)
        await asyncio.wait_for(engine.start(), STEP)  # a second accept loop of the same engine
        port = engine.bound_port
        ui = await StandIn.connect(port)
        await asyncio.wait_for(engine.wait_connected(), STEP)
        call = engine.get_ohlc()
        await ui.recv_request()
        # A client still in its opening handshake is let go too.
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        await asyncio.sleep(0.05)
        await engine.close()
        assert await asyncio.wait_for(reader.read(), 2.0) == b""
        writer.close()
        with pytest.raises(RuntimeError):
            await call
        await ui.close()

    async def script():
        await cycle()  # the process-wide runtime starts its workers on first use
        fds, tasks = open_fds(), threads()
        for _ in range(20):
            await cycle()
        await asyncio.sleep(0.1)
        assert (open_fds(), threads()) == (fds, tasks)
    run(script(), timeout=120)
