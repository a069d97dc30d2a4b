#!/usr/bin/env python3
"""Distributed training example: the tabular Q-learning agent of agent.py learns from rollouts
collected on every worker of a Dask cluster, each worker stepping a vector environment of
--envs simulations against its own headless UI (py_engine_native_env.dask_rollouts).

    /usr/bin/python3 examples/distributed.py                       # a LocalCluster, a worker per core
    /usr/bin/python3 examples/distributed.py --workers 2 --envs 4 --rounds 10 --steps 200
    /usr/bin/python3 examples/distributed.py --scheduler tcp://10.0.0.1:8786   # a running cluster

Each round the driver sends the agent (its Q table and exploration rate) to every worker as the
policy, every worker steps its environments --steps times with it, and the driver learns from
all the trajectories that come back, ending the agent's episodes as the environments end
theirs. A last round acts greedily, as the evaluation. A worker that fails in a round (its UI
or its process died) is named on that round's line; its environments start again on the next.

Output: one line per round, then the summary line
"rounds=R workers=W envs=N steps=M steps_per_s=X episodes=E eval_equity=Y time_s=T"
(steps_per_s: the steps of all workers over the rounds' wall time).
"""

from __future__ import annotations

import argparse
import copy
import os
import sys
import time
from types import ModuleType
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))


def examples_last() -> None:
    """Moves this folder to the end of sys.path: first there, this file's name would hide
    Dask's own `distributed`, here and in the worker processes that inherit the path."""
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != HERE] + [HERE]


examples_last()
import numpy as np  # noqa: E402

import agent as agent_module  # noqa: E402
from agent import MomentumQAgent  # noqa: E402
from train import import_package  # noqa: E402

examples_last()  # train put it first again


class AgentPolicy:
    """The agent as the runner's policy: observations (N, D) -> actions (N,). Each worker
    explores with a generator of its own, made on its first call there."""

    def __init__(self, agent: MomentumQAgent, greedy: bool = False) -> None:
        self.agent = copy.deepcopy(agent)
        self.greedy = greedy
        self.local = False

    def __call__(self, obs: np.ndarray) -> np.ndarray:
        if not self.local:
            self.agent.rng, self.local = np.random.default_rng(), True
        return np.array([self.agent.act(o, greedy=self.greedy) for o in obs], dtype=np.int64)


def learn(agent: MomentumQAgent, batch: Any) -> tuple[int, list[float]]:
    """Q-learning over every kept trajectory; the number of episodes ended and their equity."""
    t = batch.transitions()  # the steps that reset an environment are left out
    ended: list[float] = []
    for k in range(len(t["actions"])):
        agent.learn(t["obs"][k], int(t["actions"][k]), float(t["rewards"][k]), t["next_obs"][k],
                    bool(t["terminations"][k]))
        if t["terminations"][k] or t["truncations"][k]:
            ended.append(float(t["equity"][k]))
            agent.end_episode()
    return len(ended), ended


def round_line(label: str, batch: Any, ended: int, equity: list[float], epsilon: float) -> str:
    per_worker = " ".join(f"{name}:{rate:.0f}" for name, rate in batch.steps_per_s.items())
    failed = "".join(f" failed[{name}]={why!r}" for name, why in batch.failed.items())
    mean = f"{np.nanmean(equity):.2f}" if equity else "nan"
    return (f"round {label} workers={len(batch.trajectories)} steps={batch.steps} "
            f"steps_per_s={batch.steps / max(batch.wall_time, 1e-9):.0f} ({per_worker}) "
            f"overhead={batch.overhead:.1%} episodes={ended} mean_equity={mean} "
            f"epsilon={epsilon:.3f}" + (f" started={','.join(batch.started)}" if batch.started
                                        else "") + failed)


def train(args: argparse.Namespace, pkg: ModuleType) -> None:
    import cloudpickle
    from py_engine_native_env.dask_rollouts import RolloutRunner

    # The workers need not have examples/ on their path: the agent travels by value.
    cloudpickle.register_pickle_by_value(agent_module)
    began = time.perf_counter()
    settings: dict[str, object] = {}
    if args.episode_length:
        settings["episode_length"] = args.episode_length
    with RolloutRunner(args.scheduler, num_envs=args.envs, n_workers=args.workers,
                       seed=args.seed, settings=settings, max_steps=args.max_steps or None,
                       sync=args.sync) as runner:
        agent = MomentumQAgent(window=8, seed=args.seed)
        steps, seconds, episodes, final = 0, 0.0, 0, float("nan")
        workers: set[str] = set()
        for r in range(args.rounds + 1):
            evaluation = r == args.rounds
            batch = runner.rollout(AgentPolicy(agent, greedy=evaluation), args.steps)
            if evaluation:
                ended, equity = learn(copy.deepcopy(agent), batch)  # counted, not learnt from
                final = float(np.nanmean(equity)) if equity else float("nan")
            else:
                ended, equity = learn(agent, batch)
            steps, seconds, episodes = steps + batch.steps, seconds + batch.wall_time, episodes + ended
            workers.update(batch.trajectories)
            label = "eval" if evaluation else f"{r + 1}/{args.rounds}"
            print(round_line(label, batch, ended, equity, 0.0 if evaluation else agent.epsilon),
                  flush=True)
    print(f"rounds={args.rounds + 1} workers={len(workers)} envs={args.envs} steps={steps} "
          f"steps_per_s={steps / max(seconds, 1e-9):.0f} episodes={episodes} "
          f"eval_equity={final:.2f} time_s={time.perf_counter() - began:.1f}", flush=True)


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--scheduler", metavar="ADDRESS", default=None,
                        help="the Dask scheduler of a running cluster (default: a LocalCluster)")
    parser.add_argument("--workers", type=int, default=None,
                        help="worker processes of the LocalCluster (default: one per core)")
    parser.add_argument("--envs", type=int, default=4, help="environments on each worker")
    parser.add_argument("--rounds", type=int, default=6, help="training rounds")
    parser.add_argument("--steps", type=int, default=200, help="steps of every environment per round")
    parser.add_argument("--episode-length", type=int, default=100,
                        help="episode length of the UIs (0: the UI's default)")
    parser.add_argument("--max-steps", type=int, default=0,
                        help="at most this many steps per episode (0: the episode length)")
    parser.add_argument("--sync", choices=("auto", "deferred", "eager"), default="auto",
                        help="stepping style of the environments")
    parser.add_argument("--seed", type=int, default=1, help="seeds the agent and the simulations")
    parser.add_argument("--build", help="directory holding py_engine_native.abi3.so")
    args = parser.parse_args(argv)
    if args.rounds < 1 or args.envs < 1 or args.steps < 1:
        parser.error("--rounds, --envs and --steps must be at least 1")
    return args


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    pkg = import_package(args.build)
    try:
        train(args, pkg)
    except ImportError as e:  # Dask is not installed
        raise SystemExit(f"distributed: {e}")
    except RuntimeError as e:
        raise SystemExit(f"distributed: {e}")


if __name__ == "__main__":
    main()
