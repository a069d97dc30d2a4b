#!/usr/bin/env python3
"""Two versions of py_engine_native_env side by side, against the headless reference UI.

    /usr/bin/python3 bench/env_compare.py --side before=/work/base/build:/work/base \
        --side after=build:. [--seconds 3] [--rounds 3] [--profile CASE]

Each --side is NAME=BUILD_DIR:CHECKOUT (the folder holding py_engine_native.abi3.so, and the
checkout whose py_engine_native_env and ui/ are used). Every case runs in a fresh subprocess per
side, the sides alternating, --rounds times; printed per case and side (median of the rounds):
environment steps per second, CPU of this Python process (the engine's worker threads
included) and of the UI process (Node) per environment step, and engine calls per environment
step (counted in a separate run through an engine_wrapper). Random actions from
action_space.sample(), the UI's default settings. Cases:
  single     TradingEnv, step() from plain Python code
  vector1    VectorTradingEnv(1)
  vector16   VectorTradingEnv(16)
  floor16    no environment: 16 engines, one step_and_sync each per step, gathered on one loop
--profile CASE runs that case once under cProfile (the last side given) and prints the top.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import subprocess
import sys
import time
from typing import Any, Callable

HERE = os.path.abspath(__file__)
CASES = ("single", "vector1", "vector16", "floor16")
SETTINGS = {"seed": 1}


def proc_cpu(pid: int) -> float:
    """User + system CPU seconds of a process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Tally:
    """An engine whose method look-ups are counted."""

    count = 0

    def __init__(self, engine: Any) -> None:
        self._engine = engine

    def __getattr__(self, name: str) -> Any:
        if name not in ("close", "start", "wait_connected", "bound_port"):
            Tally.count += 1
        return getattr(self._engine, name)


def env_stepper(pkg: Any, case: str, **keywords: Any) -> tuple[Any, Callable[[], int]]:
    """The environment of `case` and a function that steps it once (returns env steps)."""
    if case == "single":
        env = pkg.TradingEnv(settings=SETTINGS, **keywords)
        env.reset(seed=1)
        env.action_space.seed(1)

        def step() -> int:
            _, _, terminated, truncated, _ = env.step(env.action_space.sample())
            if terminated or truncated:
                env.reset()
            return 1
        return env, step
    n = int(case.removeprefix("vector"))
    envs = pkg.VectorTradingEnv(n, settings=SETTINGS, **keywords)
    envs.reset(seed=1)
    envs.action_space.seed(1)

    def vstep() -> int:
        envs.step(envs.action_space.sample())
        return n
    return envs, vstep


def floor_stepper(pkg: Any, n: int) -> tuple[Any, Callable[[], int]]:
    from py_engine_native_env._backend import close_engine, start_engine
    loop = asyncio.new_event_loop()
    async def start() -> list[Any]:
        return [await start_engine("127.0.0.1", 0) for _ in range(n)]
    started = loop.run_until_complete(start())
    engines = [engine for engine, _ in started]
    ui = pkg.start_headless([f"ws://127.0.0.1:{port}" for _, port in started], SETTINGS)

    async def connected() -> None:
        for e in engines:
            await e.wait_connected(60.0)
    loop.run_until_complete(connected())

    async def gathered() -> None:
        await asyncio.gather(*(e.step_and_sync() for e in engines))

    def step() -> int:
        loop.run_until_complete(gathered())
        return n

    class Floor:
        ui_pids = [ui.pid]

        def close(self) -> None:
            ui.stop()
            for e in engines:
                loop.run_until_complete(close_engine(e))
            loop.close()
    return Floor(), step


def measure(pkg: Any, case: str, seconds: float, count: bool = True) -> dict[str, float]:
    if case.startswith("floor"):
        owner, step = floor_stepper(pkg, int(case.removeprefix("floor")))
    else:
        owner, step = env_stepper(pkg, case)
    (ui,) = owner.ui_pids
    try:
        for _ in range(20):  # warm up
            step()
        steps, ui_cpu, py_cpu = 0, proc_cpu(ui), time.process_time()
        began = time.perf_counter()
        while time.perf_counter() - began < seconds:
            steps += step()
        wall = time.perf_counter() - began
        ui_cpu, py_cpu = proc_cpu(ui) - ui_cpu, time.process_time() - py_cpu
    finally:
        owner.close()
    calls = 1.0
    if count and not case.startswith("floor"):  # counted apart: a wrapper takes another code path
        owner, step = env_stepper(pkg, case, engine_wrapper=Tally)
        try:
            Tally.count, counted = 0, 0
            while counted < 2000:
                counted += step()
            calls = Tally.count / counted
        finally:
            owner.close()
    return {"steps_per_s": steps / wall, "py_us": 1e6 * py_cpu / steps,
            "ui_us": 1e6 * ui_cpu / steps, "calls": calls}


def worker(args: argparse.Namespace) -> None:
    build, checkout = args.worker_side.split(":", 1)
    sys.path[:0] = [os.path.abspath(build), os.path.abspath(checkout)]
    import py_engine_native_env as pkg
    if args.profile_case:
        import cProfile
        import pstats
        cProfile.runctx("measure(pkg, args.profile_case, args.seconds, False)", globals(),
                        {"pkg": pkg, "args": args, "measure": measure}, "/tmp/env_compare.prof")
        pstats.Stats("/tmp/env_compare.prof").sort_stats("tottime").print_stats(25)
        return
    print(json.dumps(measure(pkg, args.worker_case, args.seconds)), flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--side", action="append", default=[], help="NAME=BUILD_DIR:CHECKOUT")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--profile", dest="profile_case")
    parser.add_argument("--worker-case", help=argparse.SUPPRESS)
    parser.add_argument("--worker-side", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker_side:
        worker(args)
        return
    sides = dict(side.split("=", 1) for side in args.side)
    if args.profile_case:
        command = [sys.executable, HERE, "--worker-side", list(sides.values())[-1],
                   "--seconds", str(args.seconds), "--profile", args.profile_case]
        subprocess.run(command, check=True)
        return
    cases = args.cases.split(",")
    results: dict[tuple[str, str], list[dict[str, float]]] = {}
    for _ in range(args.rounds):
        for case in cases:
            for name, side in sides.items():
                out = subprocess.run(
                    [sys.executable, HERE, "--worker-side", side, "--worker-case", case,
                     "--seconds", str(args.seconds)], capture_output=True, text=True, check=True)
                results.setdefault((case, name), []).append(json.loads(out.stdout))
    print(f"{args.rounds} rounds of {args.seconds:g} s per case and side, sides alternating, "
          f"{os.cpu_count()} cores; medians")
    print(f"{'case':<9s} {'side':<8s} {'env steps/s':>11s} {'python us/step':>14s} "
          f"{'ui us/step':>10s} {'calls/step':>10s}")
    for case in cases:
        for name in sides:
            runs = results[(case, name)]
            m = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
            print(f"{case:<9s} {name:<8s} {m['steps_per_s']:11.0f} {m['py_us']:14.1f} "
                  f"{m['ui_us']:10.1f} {m['calls']:10.2f}", flush=True)


if __name__ == "__main__":
    main()
