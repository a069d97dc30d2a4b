"""Round-trip latency of engine calls against a fast stand-in UI on loopback.

Usage: /usr/bin/python3 bench/latency.py [--build build] [--calls 2000]

Runs sequential step_next and get_ohlc (a 100 x 6 matrix) calls through the module, each
awaited before the next, and prints calls per second with p50/p99. Then, in the same run, the
floors to compare with: a 16-byte round trip from asyncio streams to a C++ echo peer (what
any asyncio program pays per round trip), and a raw C++ TCP ping-pong.
"""
import argparse
import asyncio
import os
import socket
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def summary(name, samples, elapsed):
    samples.sort()
    p50 = samples[len(samples) // 2] * 1e6
    p99 = samples[len(samples) * 99 // 100] * 1e6
    print(f"{name:10s} calls={len(samples)} calls_per_s={len(samples) / elapsed:,.0f} "
          f"p50_us={p50:.1f} p99_us={p99:.1f}")


async def measure(engine, name, method, calls):
    for _ in range(min(200, calls)):  # warm-up
        await method()
    samples = []
    start = time.perf_counter()
    for _ in range(calls):
        t0 = time.perf_counter()
        await method()
        samples.append(time.perf_counter() - t0)
    summary(name, samples, time.perf_counter() - start)


async def asyncio_floor(build, calls):
    echo = subprocess.Popen([os.path.join(build, "fast_ui"), "echo"], stdout=subprocess.PIPE, text=True)
    try:
        port = int(echo.stdout.readline())
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        msg = bytes(16)

        async def round_trip():
            writer.write(msg)
            await reader.readexactly(16)

        await measure(None, "asyncio_tcp", round_trip, calls)
        writer.close()
        await writer.wait_closed()
    finally:
        echo.wait(timeout=10)


async def main(build, calls):
    sys.path.insert(0, build)
    import py_engine_native as pen

    port = free_port()
    engine = pen.NativeEngineAsync("127.0.0.1", port)
    await engine.start()
    ui = subprocess.Popen([os.path.join(build, "fast_ui"), "ws", str(port)])
    try:
        await engine.wait_connected(timeout_secs=10)
        await measure(engine, "step_next", engine.step_next, calls)
        await measure(engine, "get_ohlc", engine.get_ohlc, calls)
    finally:
        ui.terminate()
        ui.wait(timeout=10)
    await asyncio_floor(build, calls)
    out = subprocess.run([os.path.join(build, "fast_ui"), "tcp", str(calls)],
                         capture_output=True, text=True, check=True)
    print(out.stdout.strip())


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(here, "..", "build"))
    ap.add_argument("--calls", type=int, default=2000)
    args = ap.parse_args()
    asyncio.run(main(os.path.abspath(args.build), args.calls))
