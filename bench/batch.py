"""Rounds of one step_and_sync on each of N engines: the native batch against N futures.

Usage: /usr/bin/python3 bench/batch.py [--build build] [--engines 16] [--seconds 2]
                                       [--reps 3] [--ui node|fast]

N engines, served by one headless Node UI (node ui/headless.mjs URL1 ... URLN) or by N C++
stand-in UIs (bench/fast_ui), take rounds of one step_and_sync each, alternating between
  batch    EngineBatch(engines).step_and_sync(): every request out, the sockets polled
           together on the caller's thread, the snapshots written into one (N, k) array;
  futures  asyncio.gather of the N engines' step_and_sync futures on one loop (the floor
           without any environment).
Each line gives rounds/s (one round = N engine steps), then the CPU time per round of this
process and of the UI process(es), in microseconds.
"""
import argparse
import asyncio
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
TICKS = os.sysconf("SC_CLK_TCK")


def proc_cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def start_uis(kind, build, ports):
    if kind == "node":
        urls = [f"ws://127.0.0.1:{p}" for p in ports]
        return [subprocess.Popen(["node", os.path.join(ROOT, "ui", "headless.mjs"), *urls,
                                  "--quiet", "--until-stdin-ends"], stdin=subprocess.PIPE)]
    return [subprocess.Popen([os.path.join(build, "fast_ui"), "ws", str(p)]) for p in ports]


async def measure(name, round_, seconds, uis):
    for _ in range(50):  # warm-up
        await round_()
    rounds = 0
    ui0, cpu0, start = sum(proc_cpu(u.pid) for u in uis), time.process_time(), time.perf_counter()
    while time.perf_counter() - start < seconds:
        await round_()
        rounds += 1
    wall = time.perf_counter() - start
    py_us = (time.process_time() - cpu0) / rounds * 1e6
    ui_us = (sum(proc_cpu(u.pid) for u in uis) - ui0) / rounds * 1e6
    return f"{name:8} {rounds / wall:10,.0f} {py_us:12.0f} {ui_us:12.0f}"


async def main(args):
    import py_engine_native as pen

    engines = [pen.NativeEngineAsync("127.0.0.1", 0) for _ in range(args.engines)]
    for e in engines:
        await e.start()
    uis = start_uis(args.ui, args.build, [e.bound_port for e in engines])
    try:
        for e in engines:
            await e.wait_connected(timeout_secs=20)
            await e.reset_episode(0, "train")
        batch = pen.EngineBatch(engines)

        async def batch_round():
            _, _, errors = batch.step_and_sync()
            assert not any(errors), errors

        async def futures_round():
            await asyncio.gather(*(e.step_and_sync() for e in engines))

        print(f"{args.engines} engines, {args.ui} UI, {args.seconds:g} s per figure, "
              f"{os.cpu_count()} cores")
        print(f"{'':8} {'rounds/s':>10} {'py us/round':>12} {'ui us/round':>12}")
        for _ in range(args.reps):
            print(await measure("batch", batch_round, args.seconds, uis), flush=True)
            print(await measure("futures", futures_round, args.seconds, uis), flush=True)
    finally:
        for u in uis:
            u.terminate()
            u.wait(5)
        for e in engines:
            await e.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--engines", type=int, default=16)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--ui", choices=["node", "fast"], default="node")
    arguments = parser.parse_args()
    sys.path.insert(0, os.path.abspath(arguments.build))
    asyncio.run(main(arguments))
