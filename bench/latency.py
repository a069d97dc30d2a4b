"""Round-trip latency of engine calls, with the synchronous wait on and off, beside the floors.

Usage: /usr/bin/python3 bench/latency.py [--build build] [--calls 2000]

One run prints, side by side, each figure through the module with `sync_wait` on (the default)
and off (every call handed to the engine's worker), each call awaited before the next unless
stated otherwise:
  step_next, get_ohlc 100 x 6, step_and_sync 100 x 6 + an 8-vector   C++ stand-in UI, at once
  8 concurrent callers of step_next on one engine                    same UI
  get_ohlc 1000 x 100 (an 800 KB reply)                              same UI
  step_next against a UI that answers 1 ms after each request        C++ stand-in UI
  step_next against a UI running on the caller's own event loop      websockets client
and get_ohlc 1000 x 100 again, from the module's engine and from a pure-asyncio engine
(bench/asyncio_engine.py) against the same UI, in alternating batches (sync_wait on);
and the floors: a 16-byte round trip from asyncio streams to a C++ echo peer (the least any
pure-asyncio engine pays per call), and raw C++ TCP ping-pong with a 16-byte and an 800 KB
reply. Beside wall time, cpu_pct is the CPU time of the whole process over the wall time of
the measurement (100 = one core busy).
"""
import argparse
import asyncio
import os
import socket
import struct
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Figure:
    def __init__(self, samples, calls, wall, cpu):
        samples.sort()
        self.p50 = samples[len(samples) // 2] * 1e6 if samples else float("nan")
        self.p99 = samples[len(samples) * 99 // 100] * 1e6 if samples else float("nan")
        self.rate = calls / wall
        self.cpu_pct = 100 * cpu / wall
        self.samples, self.wall, self.cpu = samples, wall, cpu

    def cells(self):
        return f"{self.p50:8.1f} {self.p99:9.1f} {self.rate:9,.0f} {self.cpu_pct:5.0f}"


async def sequential(method, calls, warm_up=200):
    for _ in range(min(warm_up, calls)):
        await method()
    samples = []
    cpu0, start = time.process_time(), time.perf_counter()
    for _ in range(calls):
        t0 = time.perf_counter()
        await method()
        samples.append(time.perf_counter() - t0)
    return Figure(samples, calls, time.perf_counter() - start, time.process_time() - cpu0)


async def concurrent(method, calls, callers=8):
    async def caller(n):
        for _ in range(n):
            await method()

    await asyncio.gather(*(caller(25) for _ in range(callers)))  # warm-up
    cpu0, start = time.process_time(), time.perf_counter()
    await asyncio.gather(*(caller(calls // callers) for _ in range(callers)))
    return Figure([], calls // callers * callers, time.perf_counter() - start,
                  time.process_time() - cpu0)


async def on_and_off(engine, measure):
    """The same measurement with the synchronous wait on, then off."""
    figures = []
    for wait in (True, False):
        engine.sync_wait = wait
        figures.append(await measure())
    engine.sync_wait = True
    return figures


async def with_fast_ui(pen, build, args, rows_and_figures):
    """Starts an engine and a C++ stand-in UI (fast_ui ws PORT ARGS...) and runs each
    (name, measure(engine)) pair with the wait on and off."""
    port = free_port()
    engine = pen.NativeEngineAsync("127.0.0.1", port)
    await engine.start()
    ui = subprocess.Popen([os.path.join(build, "fast_ui"), "ws", str(port), *map(str, args)])
    try:
        await engine.wait_connected(timeout_secs=10)
        return [(name, await on_and_off(engine, lambda: measure(engine)))
                for name, measure in rows_and_figures]
    finally:
        ui.terminate()
        ui.wait(timeout=10)


async def versus_asyncio_engine(pen, build, calls, batch=25):
    """get_ohlc 1000 x 100 from this module's engine and from the pure-asyncio engine
    (bench/asyncio_engine.py), each against its own C++ stand-in UI, in alternating batches so
    that both see the same machine; returns both figures."""
    from asyncio_engine import AsyncioEngine

    engines, uis = [], []
    try:
        for make in (pen.NativeEngineAsync, AsyncioEngine):
            port = free_port()
            engines.append(make("127.0.0.1", port))
            await engines[-1].start()
            uis.append(subprocess.Popen([os.path.join(build, "fast_ui"), "ws", str(port),
                                         "0", "1000", "100"]))
            await engines[-1].wait_connected(timeout_secs=10)
            assert (await engines[-1].get_ohlc()).shape == (1000, 100)
        totals = [([], 0.0, 0.0) for _ in engines]
        for _ in range(max(1, calls // batch)):
            for i, engine in enumerate(engines):
                figure = await sequential(engine.get_ohlc, batch, warm_up=5)
                samples, wall, cpu = totals[i]
                totals[i] = (samples + figure.samples, wall + figure.wall, cpu + figure.cpu)
        return [Figure(samples, len(samples), wall, cpu) for samples, wall, cpu in totals]
    finally:
        for engine in engines:
            await engine.close()
        for ui in uis:
            ui.terminate()
            ui.wait(timeout=10)


async def in_loop_ui(pen, calls):
    """A UI on the caller's own loop (websockets): it can answer only when the loop runs."""
    import websockets

    port = free_port()
    engine = pen.NativeEngineAsync("127.0.0.1", port)
    await engine.start()

    async def ui():
        async with websockets.connect(f"ws://127.0.0.1:{port}", origin="http://127.0.0.1",
                                      compression=None) as ws:
            await ws.recv()  # the greeting
            async for msg in ws:
                head = bytearray(msg[:16])
                head[1] = 2  # Response
                head[12:16] = struct.pack("<I", 0)
                await ws.send(bytes(head))

    task = asyncio.ensure_future(ui())
    try:
        await engine.wait_connected(timeout_secs=10)
        return await on_and_off(engine, lambda: sequential(engine.step_next, calls))
    finally:
        task.cancel()


async def asyncio_floor(build, calls):
    echo = subprocess.Popen([os.path.join(build, "fast_ui"), "echo"], stdout=subprocess.PIPE,
                            text=True)
    try:
        port = int(echo.stdout.readline())
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.transport.get_extra_info("socket").setsockopt(
            socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        msg = bytes(16)

        async def round_trip():
            writer.write(msg)
            await reader.readexactly(16)

        figure = await sequential(round_trip, calls)
        writer.close()
        await writer.wait_closed()
        return figure
    finally:
        echo.wait(timeout=10)


def raw_tcp(build, calls, reply_bytes):
    out = subprocess.run([os.path.join(build, "fast_ui"), "tcp", str(calls), str(reply_bytes)],
                         capture_output=True, text=True, check=True).stdout
    fields = dict(f.split("=") for f in out.split()[1:])
    return float(fields["p50_us"]), float(fields["p99_us"])


async def main(build, calls):
    sys.path.insert(0, build)
    import py_engine_native as pen

    seq = lambda name: lambda engine: sequential(getattr(engine, name), calls)
    rows = await with_fast_ui(pen, build, [], [
        ("step_next", seq("step_next")),
        ("get_ohlc 100x6", seq("get_ohlc")),
        ("step_and_sync 100x6+8", seq("step_and_sync")),
        ("8 callers step_next", lambda engine: concurrent(engine.step_next, 4 * calls)),
    ])
    rows += await with_fast_ui(pen, build, [0, 1000, 100], [
        ("get_ohlc 1000x100", lambda engine: sequential(engine.get_ohlc, calls // 4)),
    ])
    rows += await with_fast_ui(pen, build, [1000], [
        ("1 ms UI step_next", lambda engine: sequential(engine.step_next, calls // 4)),
    ])
    rows.append(("in-loop UI step_next", await in_loop_ui(pen, calls // 4)))
    native_ohlc, py_ohlc = await versus_asyncio_engine(pen, build, calls // 2)
    floor = await asyncio_floor(build, calls)
    tcp16 = raw_tcp(build, calls, 16)
    tcp800k = raw_tcp(build, calls // 4, 800 * 1000 + 16 + 8)

    head = "  p50_us    p99_us   calls/s  cpu%"
    print(f"{'figure':24s}|{'sync_wait on':^34s}|{'sync_wait off':^34s}")
    print(f"{'':24s}|{head}|{head}")
    for name, (on, off) in rows:
        print(f"{name:24s}|{on.cells()}|{off.cells()}")
    print(f"{'alternating with the next':24s}|{native_ohlc.cells()}|")
    print(f"{'asyncio engine 1000x100':24s}|{py_ohlc.cells()}|")
    print(f"{'asyncio streams 16 B':24s}|{floor.cells()}|")
    print(f"{'raw TCP 16 B':24s}|{tcp16[0]:8.1f} {tcp16[1]:9.1f}")
    print(f"{'raw TCP 800 KB reply':24s}|{tcp800k[0]:8.1f} {tcp800k[1]:9.1f}")

    fig = dict(rows)
    step_on, step_off = fig["step_next"]
    print("\ntargets (measured, target):")
    checks = [
        ("1 step_next p50 / asyncio p50", step_on.p50 / floor.p50, "<= 0.4"),
        ("1 step_next p50 / raw TCP 16 B p50", step_on.p50 / tcp16[0], "<= 3"),
        ("1 step_next calls/s on / off", step_on.rate / step_off.rate, ">= 3"),
        ("2 get_ohlc 100x6 p50 / asyncio p50", fig["get_ohlc 100x6"][0].p50 / floor.p50, "<= 0.5"),
        ("2 step_and_sync p50 / asyncio p50",
         fig["step_and_sync 100x6+8"][0].p50 / floor.p50, "<= 0.5"),
        ("3 8 callers calls/s on / off",
         fig["8 callers step_next"][0].rate / fig["8 callers step_next"][1].rate, ">= 2"),
        ("4 get_ohlc 800 KB p50 / raw TCP 800 KB p50",
         fig["get_ohlc 1000x100"][0].p50 / tcp800k[0], "<= 1.5"),
        ("4 get_ohlc 800 KB calls/s / asyncio engine's",
         native_ohlc.rate / py_ohlc.rate, ">= 8"),
        ("5 1 ms UI p50 on / off",
         fig["1 ms UI step_next"][0].p50 / fig["1 ms UI step_next"][1].p50, "<= 1.05"),
        ("5 1 ms UI cpu% on - off", fig["1 ms UI step_next"][0].cpu_pct
         - fig["1 ms UI step_next"][1].cpu_pct, "< 10"),
        ("6 in-loop UI calls/s on / off",
         fig["in-loop UI step_next"][0].rate / fig["in-loop UI step_next"][1].rate, "about 1"),
    ]
    for name, value, target in checks:
        print(f"  {name:44s} {value:6.2f}  {target}")


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(here, "..", "build"))
    ap.add_argument("--calls", type=int, default=2000)
    args = ap.parse_args()
    asyncio.run(main(os.path.abspath(args.build), args.calls))
