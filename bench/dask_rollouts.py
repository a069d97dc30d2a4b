#!/usr/bin/env python3
"""Rollouts on a LocalCluster: steps per second and what the runner itself costs.

    /usr/bin/python3 bench/dask_rollouts.py --build build [--workers 1,2] [--envs 4]
                                            [--steps 256] [--rounds 5]

For reference, one VectorTradingEnv(--envs) in this process without Dask, first and last.
For each worker count W in between, a RolloutRunner on a LocalCluster of W worker processes,
each with a vector environment of --envs simulations and its own headless UI: one warm-up
round (which creates the environments), then --rounds rounds of --steps steps with a random
policy. Printed per W (medians over the rounds):
  steps_per_s      all workers' steps over the round's wall time, and per worker over its own
                   stepping time (policy calls included)
  wall, slowest    the round's wall time and the slowest worker's stepping time
  runner_cost      wall / slowest - 1: dispatching the round, sending the policy, collecting
                   and decoding the trajectories (the target is under 10 %)
  fixed_ms         the wall time of a 1-step round less its stepping: the per-round floor
  actor_call_ms    a small actor call to every worker at once (ui_pids), answered
  driver_cpu_ms    CPU time of this process per round (the client, and the scheduler and
                   nannies, which a LocalCluster runs in this process), and per second idle
  bytes            trajectory bytes per worker and round, the pickled policy, and the
                   scheduler's membership reply (the one scheduler call of a round) per worker
"""

from __future__ import annotations

import argparse
import os
import pickle
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


class RandomPolicy:
    def __init__(self) -> None:
        self.rng: np.random.Generator | None = None

    def __call__(self, obs: np.ndarray) -> np.ndarray:
        if self.rng is None:
            self.rng = np.random.default_rng()
        return self.rng.integers(4, size=len(obs))


def local_baseline(pkg, envs: int, steps: int, rounds: int, settings: dict) -> float:
    policy = RandomPolicy()
    with pkg.VectorTradingEnv(envs, settings=settings) as env:
        obs, _ = env.reset(seed=1)
        for _ in range(steps):  # warm-up
            obs = env.step(policy(obs))[0]
        began = time.perf_counter()
        for _ in range(steps * rounds):
            obs = env.step(policy(obs))[0]
        return steps * rounds * envs / (time.perf_counter() - began)


def bench(workers: int, args: argparse.Namespace, settings: dict) -> None:
    from py_engine_native_env.dask_rollouts import RolloutRunner

    with RolloutRunner(num_envs=args.envs, n_workers=workers, settings=settings) as runner:
        runner.rollout(RandomPolicy(), args.steps)  # creates the environments
        cpu_before = time.process_time()
        time.sleep(2.0)  # what this process spends idle: heartbeats of the cluster's servers
        idle = (time.process_time() - cpu_before) / 2.0
        rates, per_worker, walls, slowest, costs, cpu = [], [], [], [], [], []
        for _ in range(args.rounds):
            cpu_before = time.process_time()
            batch = runner.rollout(RandomPolicy(), args.steps)
            cpu.append(time.process_time() - cpu_before)
            assert not batch.failed and len(batch.trajectories) == workers, batch.failed
            rates.append(batch.steps / batch.wall_time)
            per_worker.append(statistics.mean(batch.steps_per_s.values()))
            walls.append(batch.wall_time)
            slowest.append(max(batch.step_time.values()))
            costs.append(batch.overhead)
        fixed = []
        for _ in range(args.rounds):
            one = runner.rollout(RandomPolicy(), 1)
            fixed.append(one.wall_time - max(one.step_time.values()))
        trajectory = sum(a.nbytes for a in batch.trajectories[next(iter(batch.trajectories))].values())
        calls = []
        for _ in range(20):
            began = time.perf_counter()
            runner.ui_pids()  # one small actor call to every worker, at once
            calls.append(time.perf_counter() - began)
        info = pickle.dumps(runner.client.scheduler_info())
        began = time.perf_counter()
        for _ in range(20):
            runner.client.scheduler_info()
        identity_ms = (time.perf_counter() - began) / 20 * 1e3
    med = statistics.median
    print(f"workers={workers} envs={args.envs} steps={args.steps}: "
          f"steps_per_s={med(rates):.0f} (per worker {med(per_worker):.0f}) "
          f"wall_s={med(walls):.3f} slowest_s={med(slowest):.3f} "
          f"runner_cost={med(costs):.1%} (min {min(costs):.1%}, max {max(costs):.1%}) "
          f"fixed_ms={med(fixed) * 1e3:.1f} actor_call_ms={med(calls) * 1e3:.2f} "
          f"driver_cpu_ms={med(cpu) * 1e3:.1f} (idle {idle * 1e3:.1f} ms/s)", flush=True)
    print(f"  bytes: trajectory={trajectory} per worker and round, "
          f"policy={len(pickle.dumps(RandomPolicy()))}, membership_reply={len(info) // workers} "
          f"per worker ({identity_ms:.1f} ms a call)", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--build", help="directory holding py_engine_native.abi3.so")
    parser.add_argument("--workers", default="1,2", help="worker counts, comma-separated")
    parser.add_argument("--envs", type=int, default=4, help="environments per worker")
    parser.add_argument("--steps", type=int, default=256, help="steps per round")
    parser.add_argument("--rounds", type=int, default=5, help="measured rounds")
    parser.add_argument("--episode-length", type=int, default=200, help="episode length")
    args = parser.parse_args()
    sys.path.insert(0, os.path.abspath(args.build or os.path.join(HERE, "..", "build")))
    sys.path.insert(1, os.path.join(HERE, ".."))
    import py_engine_native_env as pkg

    settings = {"episode_length": args.episode_length}
    print(f"cores={os.cpu_count()} load={os.getloadavg()[0]:.1f}", flush=True)
    for workers in [0] + [int(w) for w in args.workers.split(",")] + [0]:
        if workers:
            bench(workers, args, settings)
        else:  # before and after, as the machine's load may change
            rate = local_baseline(pkg, args.envs, args.steps, args.rounds, settings)
            print(f"no Dask: VectorTradingEnv({args.envs}) in this process: "
                  f"steps_per_s={rate:.0f}", flush=True)


if __name__ == "__main__":
    main()
