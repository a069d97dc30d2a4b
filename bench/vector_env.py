#!/usr/bin/env python3
"""Throughput of py_engine_native_env against the headless reference UI.

    /usr/bin/python3 bench/vector_env.py --build build [--seconds 3] [--envs 1,2,4,8,16]

Part 1, the vector environment: for each N, VectorTradingEnv(N) steps with seeded random actions
for --seconds; printed per N: environment steps per second (N per vector step), the CPU time
of the one UI process (Node) and of this Python process (the engine's worker threads
included) per second of wall time and per environment step (the per-step figures hold also on
a busy machine), and the UI process's resident memory (VmRSS, and its peak VmHWM) at the end.

Part 2, the synchronous layer: the same work three ways, episodes of --length steps holding
(deferred stepping: each step is step_next + get_snapshot):
  sync   TradingEnv.reset() / step() from plain Python code
  async  AsyncTradingEnv, awaited in one coroutine on the same engine
  raw    only the engine calls that reset and step make, awaited in one coroutine
and the ratios sync / raw of wall time and of this process's CPU time (the cost of the
environment and of its synchronous layer together; the CPU ratio is the steadier on a busy
machine).
"""

from __future__ import annotations

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def proc_cpu(pid: int) -> float:
    """User + system CPU seconds of a process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_memory(pid: int) -> tuple[float, float]:
    """VmRSS and VmHWM of a process in MiB."""
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                values[name] = int(rest.split()[0]) / 1024
    return values["VmRSS"], values["VmHWM"]


def bench_vector(pkg, n: int, seconds: float) -> str:
    envs = pkg.VectorTradingEnv(n, settings={"episode_length": 200}, sync="deferred")
    try:
        (ui,) = envs.ui_pids
        envs.reset(seed=1)
        envs.action_space.seed(1)
        for _ in range(20):  # warm up
            envs.step(envs.action_space.sample())
        steps, ui_cpu, py_cpu = 0, proc_cpu(ui), time.process_time()
        began = time.perf_counter()
        while time.perf_counter() - began < seconds:
            envs.step(envs.action_space.sample())
            steps += n
        wall = time.perf_counter() - began
        ui_cpu, py_cpu = proc_cpu(ui) - ui_cpu, time.process_time() - py_cpu
        rss, peak = proc_memory(ui)
    finally:
        envs.close()
    return (f"N={n:<3d} steps/s={steps / wall:7.0f}  ui_cpu={ui_cpu / wall:4.2f} s/s "
            f"({1e6 * ui_cpu / steps:4.0f} us/step)  python_cpu={py_cpu / wall:4.2f} s/s "
            f"({1e6 * py_cpu / steps:4.0f} us/step)  ui_rss={rss:5.1f} MiB  ui_peak={peak:5.1f} MiB")


def bench_sync(pkg, episodes: int, length: int) -> list[str]:
    env = pkg.TradingEnv(settings={"episode_length": length}, sync="deferred")
    lines = []
    try:
        engine, aenv = env.engine, env.env
        env.reset(seed=1)  # reads the UI's configuration once

        def sync_run() -> None:
            for _ in range(episodes):
                env.reset()
                done = False
                while not done:
                    _, _, terminated, truncated, _ = env.step(0)
                    done = terminated or truncated

        async def async_run() -> None:
            for _ in range(episodes):
                await aenv.reset()
                done = False
                while not done:
                    _, _, terminated, truncated, _ = await aenv.step(0)
                    done = terminated or truncated

        async def raw_run() -> None:
            for k in range(episodes):
                await engine.reset_episode(k % 8, "train")
                await engine.get_snapshot()
                await engine.get_ohlc()
                for _ in range(length):
                    await engine.step_next()
                    await engine.get_snapshot()
                await engine.end_session()
                await engine.fetch_events()

        timings: dict[str, float] = {}
        cpu: dict[str, float] = {}
        for _ in range(3):  # alternated, best of three each
            for name, run in (("sync", sync_run), ("async", lambda: env.run(async_run())),
                              ("raw", lambda: env.run(raw_run()))):
                began, began_cpu = time.perf_counter(), time.process_time()
                run()
                took, took_cpu = time.perf_counter() - began, time.process_time() - began_cpu
                timings[name] = min(timings.get(name, took), took)
                cpu[name] = min(cpu.get(name, took_cpu), took_cpu)
        steps = episodes * length
        for name, took in timings.items():
            lines.append(f"{name:<5s} {steps / took:8.0f} steps/s  "
                         f"({1e6 * took / steps:6.1f} us per step, resets included; "
                         f"Python process CPU {1e6 * cpu[name] / steps:6.1f} us per step)")
        lines.append(f"wall: sync / raw = {timings['sync'] / timings['raw']:.3f}, "
                     f"sync / async = {timings['sync'] / timings['async']:.3f}; "
                     f"CPU: sync / raw = {cpu['sync'] / cpu['raw']:.3f}")
    finally:
        env.close()
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--build", help="directory holding py_engine_native.abi3.so")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--envs", default="1,2,4,8,16")
    parser.add_argument("--episodes", type=int, default=20)
    parser.add_argument("--length", type=int, default=100)
    args = parser.parse_args()
    if args.build:
        sys.path.insert(0, os.path.abspath(args.build))
    sys.path.insert(1, os.path.join(HERE, ".."))
    import py_engine_native_env as pkg

    print(f"vector environment, {args.seconds:g} s each, {os.cpu_count()} cores")
    for n in (int(v) for v in args.envs.split(",")):
        print(bench_vector(pkg, n, args.seconds), flush=True)
    print(f"synchronous layer, {args.episodes} episodes of {args.length} steps")
    for line in bench_sync(pkg, args.episodes, args.length):
        print(line, flush=True)


if __name__ == "__main__":
    main()
