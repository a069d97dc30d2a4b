#!/usr/bin/env python3
"""Node CPU of the headless reference UI per environment step.

    /usr/bin/python3 bench/ui_cost.py --build BUILD [--envs 16] [--seconds 4] [--rounds 3]
                                      [--sync eager] [--node NODE] [UI_DIR ...]

VectorTradingEnv(--envs) steps with seeded random actions (hold, buy, sell, close all: the
traffic of step_and_sync, place_ticket and close_positions) against the UI in each UI_DIR (a
copy of ui/ with node_modules; default: this repository's ui/). The folders take turns, one
measurement of --seconds each per round, so that a busy machine weighs on all of them alike.
Printed per folder: the Node process's CPU (user + system) per environment step, each round and
the median, the system (kernel) part, and the environment steps per second. To profile the UI, pass a --node script that
runs `node --cpu-prof --cpu-prof-dir=DIR "$@"`.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def proc_cpu(pid: int) -> tuple[float, float]:
    """User and system CPU seconds of a process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / tick, int(fields[12]) / tick


def measure(pkg, ui_dir: str, n: int, seconds: float, sync: str,
            node: str | None) -> tuple[float, float, float]:
    """Node CPU microseconds per env step (user + system, system), env steps per second."""
    envs = pkg.VectorTradingEnv(n, ui_dir=ui_dir, node=node, sync=sync,
                                 settings={"episode_length": 200})
    try:
        (ui,) = envs.ui_pids
        envs.reset(seed=1)
        envs.action_space.seed(1)
        began = time.perf_counter()
        while time.perf_counter() - began < 1.5:  # warm up, the JIT's tiers included
            envs.step(envs.action_space.sample())
        steps, cpu0, began = 0, proc_cpu(ui), time.perf_counter()
        while time.perf_counter() - began < seconds:
            envs.step(envs.action_space.sample())
            steps += n
        wall = time.perf_counter() - began
        user, system = (b - a for a, b in zip(cpu0, proc_cpu(ui)))
        return (user + system) / steps * 1e6, system / steps * 1e6, steps / wall
    finally:
        envs.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", help="directory holding py_engine_native.abi3.so")
    parser.add_argument("--envs", type=int, default=16)
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--sync", default="eager", choices=("eager", "deferred"))
    parser.add_argument("--node", help="the node executable to run the UI with")
    parser.add_argument("ui_dirs", nargs="*", default=[os.path.join(HERE, "..", "ui")])
    args = parser.parse_args()
    if args.build:
        sys.path.insert(0, os.path.abspath(args.build))
    sys.path.insert(0, os.path.join(HERE, ".."))
    import py_engine_native_env as pkg

    results: dict[str, list[tuple[float, float, float]]] = {d: [] for d in args.ui_dirs}
    for _ in range(args.rounds):
        for ui_dir in args.ui_dirs:
            results[ui_dir].append(measure(pkg, ui_dir, args.envs, args.seconds, args.sync,
                                                   args.node))
    print(f"{args.envs} environments, sync={args.sync}, {args.rounds} x {args.seconds:g} s")
    for ui_dir, runs in results.items():
        cpu = [c for c, _, _ in runs]
        system = statistics.median(s for _, s, _ in runs)
        rate = statistics.median(r for _, _, r in runs)
        print(f"{os.path.normpath(ui_dir)}: Node CPU per env step {statistics.median(cpu):.1f} us "
              f"(rounds: {', '.join(f'{c:.1f}' for c in cpu)}; system {system:.1f} us), "
              f"{rate:,.0f} env steps/s")


if __name__ == "__main__":
    main()
