"""The engine process's resident memory around refused messages, and 800 KB calls before/after.

Usage: /usr/bin/python3 bench/memory.py [--build build] [--calls 400] [--rounds 4] [--idle 5]

Prints the RSS of this process (which runs the engine) after a warm-up of 800 KB get_ohlc calls
against the C++ stand-in UI (bench/fast_ui), after ROUNDS rounds of over-limit input from a
stand-in client in another process (each round: a 17 MiB frame, then a 65 MiB message in 8 MiB
fragments, each sent as the reply to a get_ohlc call and refused), and again after IDLE seconds
without calls; then the calls/s of the same 800 KB calls before and after the rounds.
"""
import argparse
import asyncio
import base64
import gc
import os
import socket
import subprocess
import sys
import time

MIB = 1 << 20
here = os.path.dirname(os.path.abspath(__file__))


def rss_mib():
    with open("/proc/self/status") as f:
        kib = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return kib / 1024


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---------------------------------------------------------------- the refused client

def client_frame(opcode, fin, length):
    """A client frame header with a zero masking key (the payload goes as it is)."""
    head = bytes((opcode | (0x80 if fin else 0), 0x80 | 127)) + length.to_bytes(8, "big")
    return head + bytes(4)


async def server_frame(reader):
    """Reads one (unmasked) frame from the engine; returns its opcode."""
    b0, b1 = await reader.readexactly(2)
    n = b1 & 0x7F
    if n >= 126:
        n = int.from_bytes(await reader.readexactly(2 if n == 126 else 8), "big")
    await reader.readexactly(n)
    return b0 & 0x0F


async def refused_client(port, rounds):
    """Each round: connect, answer the first request with a 17 MiB frame; connect again and
    answer it with a 65 MiB message in 8 MiB fragments. Each ends when the engine lets go."""
    chunk = bytes(MIB)
    sends = [[(0x2, True, 17 * MIB)],
             [(0x2 if i == 0 else 0x0, i == 8, 8 * MIB if i < 8 else MIB) for i in range(9)]]
    for _ in range(rounds):
        for frames in sends:
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
            key = base64.b64encode(os.urandom(16))
            writer.write(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                         b"Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                         b"Origin: http://127.0.0.1\r\nSec-WebSocket-Key: " + key + b"\r\n\r\n")
            await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 30)
            while (await asyncio.wait_for(server_frame(reader), 30)) != 0x2:
                pass  # the greeting (Text), then the request (Binary)
            try:
                for opcode, fin, length in frames:
                    writer.write(client_frame(opcode, fin, length))
                    for _ in range(length // MIB):
                        writer.write(chunk)
                        await asyncio.wait_for(writer.drain(), 30)
                await asyncio.wait_for(reader.read(), 30)  # until the engine closes
            except (ConnectionError, asyncio.IncompleteReadError):
                pass
            writer.close()


# ---------------------------------------------------------------- the engine's side

async def ohlc_rate(pen, build, engine, port, calls):
    """calls/s of get_ohlc 1000 x 100 against the C++ stand-in UI, which is then let go."""
    ui = subprocess.Popen([os.path.join(build, "fast_ui"), "ws", str(port), "0", "1000", "100"])
    try:
        await engine.wait_connected(timeout_secs=10)
        for _ in range(50):
            await engine.get_ohlc()
        start = time.perf_counter()
        for _ in range(calls):
            await engine.get_ohlc()
        return calls / (time.perf_counter() - start)
    finally:
        ui.terminate()
        ui.wait(timeout=10)
        with_ui_gone = time.monotonic() + 10
        while time.monotonic() < with_ui_gone:  # the engine notices on its next call
            try:
                await engine.step_next(timeout_secs=1)
            except RuntimeError:
                break


async def main(build, calls, rounds, idle):
    sys.path.insert(0, build)
    import py_engine_native as pen

    port = free_port()
    engine = pen.NativeEngineAsync("127.0.0.1", port)
    await engine.start()
    before = await ohlc_rate(pen, build, engine, port, calls)
    gc.collect()
    warm = rss_mib()

    client = subprocess.Popen([sys.executable, __file__, "--client", str(port), str(rounds)])
    refusals = []
    for _ in range(2 * rounds):
        await engine.wait_connected(timeout_secs=30)
        try:
            await engine.get_ohlc(timeout_secs=60)
        except RuntimeError as exc:
            refusals.append(str(exc).split(": ")[-1])
    client.wait(timeout=60)
    gc.collect()
    after_rounds = rss_mib()
    await asyncio.sleep(idle)
    after_idle = rss_mib()
    after = await ohlc_rate(pen, build, engine, port, calls)
    await engine.close()

    print(f"build: {build}")
    print(f"refusals: {sorted(set(refusals))} x {len(refusals)}")
    print(f"RSS MiB: warm {warm:.0f}, after {rounds} rounds {after_rounds:.0f} "
          f"({after_rounds - warm:+.0f}), after {idle:g} s idle {after_idle:.0f} "
          f"({after_idle - warm:+.0f})")
    print(f"get_ohlc 1000x100 calls/s: before {before:,.0f}, after {after:,.0f}")
    print(f"target: RSS after the rounds - warm = {after_rounds - warm:.0f} MiB  <= 48")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--client"]:
        asyncio.run(refused_client(int(sys.argv[2]), int(sys.argv[3])))
        sys.exit(0)
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(here, "..", "build"))
    ap.add_argument("--calls", type=int, default=400)
    ap.add_argument("--rounds", type=int, default=4)
    ap.add_argument("--idle", type=float, default=5.0)
    args = ap.parse_args()
    asyncio.run(main(os.path.abspath(args.build), args.calls, args.rounds, args.idle))
