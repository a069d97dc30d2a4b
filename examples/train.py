#!/usr/bin/env python3
"""Training-loop example: a tabular Q-learning agent trades the reference UI's simulation in
N environments at once (py_engine_native_env.VectorTradingEnv).

    /usr/bin/python3 examples/train.py --envs 8 --episodes 24
    /usr/bin/python3 examples/train.py --render human        # environment 0 as the page in Chromium
    /usr/bin/python3 examples/train.py --envs 1 --ui none --port 8765   # connect any UI yourself

The environments own their engines (ports chosen by the system) and one headless Node process
serves the UI of all of them. The run uses every engine method once or more: start and
wait_connected to meet the UI, get_sync_policy and get_rl_config to learn how it works,
init_candles (with --candles N) to load our own price series, and through the environments
reset_episode, get_snapshot, get_ohlc, step_next, get_ticket_list, step_and_sync, place_ticket,
place_order, close_positions, end_session and fetch_events. The agent learns from every
environment's steps until episodes - 1 episodes have ended; the last episode is then a greedy
evaluation on the UI's test set (of environment 0). Environment i steps in the UI's advised
style when i is even and the other style when odd, and opens positions with market tickets
(even) or limit orders (odd); --sync and --entry fix either.

Output: one line per episode, then "methods used: ..." and the summary line
"episodes=N steps=M steps_per_s=X final_equity=Y time_s=T".
"""

from __future__ import annotations

import argparse
import collections
import dataclasses
import json
import math
import os
import sys
import time
from types import ModuleType
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
# For agent.py when imported from elsewhere; last, so that distributed.py beside this file never
# hides Dask's package (worker processes inherit this path).
if HERE not in sys.path:
    sys.path.append(HERE)

import numpy as np  # noqa: E402

from agent import MomentumQAgent  # noqa: E402

ENGINE_METHODS = (
    "start", "wait_connected", "init_candles", "reset_episode", "get_rl_config", "step_next",
    "step_and_sync", "get_snapshot", "get_ticket_list", "get_ohlc", "fetch_events",
    "end_session", "get_sync_policy", "close_positions", "place_order", "place_ticket",
)
OTHER_SYNC = {"deferred": "eager", "eager": "deferred"}


class MethodTally:
    """Wraps an engine and counts the calls of each method into a shared Counter."""

    def __init__(self, engine: Any, counts: collections.Counter[str]) -> None:
        self._engine = engine
        self.counts = counts

    def __getattr__(self, name: str) -> Any:
        method = getattr(self._engine, name)
        if not callable(method):
            return method

        def call(*args: Any, **kwargs: Any) -> Any:
            self.counts[name] += 1
            return method(*args, **kwargs)
        return call


def report(counts: collections.Counter[str]) -> str:
    used = sum(1 for name in ENGINE_METHODS if counts[name])
    calls = " ".join(f"{name}={counts[name]}" for name in ENGINE_METHODS)
    return f"methods used: {used}/{len(ENGINE_METHODS)}: {calls}"


def synthetic_candles(rows: int, seed: int) -> np.ndarray:
    """A geometric random walk as open, high, low, close, volume rows (float64, C order)."""
    rng = np.random.default_rng(seed)
    closes = 50.0 * np.exp(np.cumsum(rng.normal(0.0, 0.003, rows)))
    opens = np.concatenate(([50.0], closes[:-1]))
    wick = np.abs(rng.normal(0.0, 0.001, (2, rows))) * closes
    highs = np.maximum(opens, closes) + wick[0]
    lows = np.minimum(opens, closes) - wick[1]
    volume = rng.integers(100, 1000, rows).astype(np.float64)
    return np.ascontiguousarray(np.column_stack([opens, highs, lows, closes, volume]))


def episode_options(k: int, args: argparse.Namespace, advice: str) -> dict[str, str]:
    """Stepping and entry style of environment k (and of the evaluation, k = episodes - 1)."""
    sync = {"alternate": advice if k % 2 == 0 else OTHER_SYNC[advice], "ui": advice}
    entry = {"alternate": "ticket" if k % 2 == 0 else "limit"}
    return {"sync": sync.get(args.sync, args.sync), "entry": entry.get(args.entry, args.entry)}


def info_of(infos: dict[str, Any], i: int) -> dict[str, Any]:
    """Environment i's own info out of the vector environment's batched infos."""
    out: dict[str, Any] = {}
    for key, value in infos.items():
        if key.startswith("_") or not infos["_" + key][i]:
            continue
        out[key] = info_of(value, i) if isinstance(value, dict) else value[i]
    return out


def episode_line(k: int, args: argparse.Namespace, env: int, start: dict[str, Any], steps: int,
                 reward: float, info: dict[str, Any], epsilon: float) -> str:
    summary = info.get("summary", {})
    return (f"episode {k}/{args.episodes} {start['episode_type']}#{start['episode_index']} "
            f"env={env} sync={start['sync']} entry={start['entry']} steps={steps} "
            f"reward={reward:+.2f} equity={info.get('equity', math.nan):.2f} "
            f"trades={int(summary.get('closed_trades', 0))} "
            f"wins={int(summary.get('winning_trades', 0))} "
            f"drawdown={summary.get('max_drawdown', 0.0):.2%} "
            f"events={len(info.get('events', ()))}"
            + (" ui_lost" if "ui_lost" in info else "") + f" epsilon={epsilon:.3f}")


def train(args: argparse.Namespace, pkg: ModuleType) -> None:
    began = time.perf_counter()
    counts: collections.Counter[str] = collections.Counter()
    settings: dict[str, object] = {"seed": args.seed}
    if args.episode_length:
        settings["episode_length"] = args.episode_length
    envs = pkg.VectorTradingEnv(
        args.envs, render_mode=args.render, ui=args.ui, port=args.port, settings=settings,
        ui_dir=args.ui_dir, page_screenshot=args.screenshot,
        connect_timeout=args.connect_timeout, max_steps=args.steps or None,
        engine_wrapper=lambda engine: MethodTally(engine, counts))
    try:
        engines = [env.engine for env in envs.envs]

        async def meet_ui() -> tuple[str, dict[str, Any]]:
            advice = await engines[0].get_sync_policy() or "deferred"
            for i, engine in enumerate(engines):
                if args.candles:
                    await engine.init_candles(synthetic_candles(args.candles, args.seed + i))
            return advice, json.loads(await engines[0].get_rl_config())

        advice, config = envs.run(meet_ui())
        print(f"ui: {config.get('instrument')} {config.get('candle_count')} candles "
              f"({config.get('candle_source')}), episode_length={config.get('episode_length')} "
              f"train={config.get('train_episodes')} test={config.get('test_episodes')} "
              f"sync advice={advice} envs={args.envs}", flush=True)
        for i, env in enumerate(envs.envs):
            options = episode_options(i, args, advice)
            env.options = dataclasses.replace(env.options, sync=options["sync"],
                                              entry=options["entry"])

        agent = MomentumQAgent(envs.envs[0].window, seed=args.seed)
        training = args.episodes - 1 if args.episodes >= 2 else args.episodes
        total_steps, finished, final_equity = 0, 0, float("nan")
        loop_began = time.perf_counter()
        obs, infos = envs.reset(seed=args.seed)
        starts = [info_of(infos, i) for i in range(args.envs)]
        steps, rewards = np.zeros(args.envs, dtype=int), np.zeros(args.envs)
        resetting = np.zeros(args.envs, dtype=bool)
        while finished < training:
            actions = np.array([agent.act(o) for o in obs])
            next_obs, reward, terminated, truncated, infos = envs.step(actions)
            for i in range(args.envs):
                if resetting[i]:  # this step started environment i's next episode
                    starts[i], steps[i], rewards[i] = info_of(infos, i), 0, 0.0
                    continue
                agent.learn(obs[i], int(actions[i]), float(reward[i]), next_obs[i],
                            bool(terminated[i]))
                steps[i] += 1
                rewards[i] += reward[i]
                total_steps += 1
                if (terminated[i] or truncated[i]) and finished < training:
                    finished += 1
                    info = info_of(infos, i)
                    final_equity = info.get("equity", math.nan)
                    agent.end_episode()
                    print(episode_line(finished, args, i, starts[i], int(steps[i]),
                                       float(rewards[i]), info, agent.epsilon), flush=True)
            resetting = terminated | truncated
            obs = next_obs

        if args.episodes >= 2:  # greedy evaluation on the test set, counted for environment 0
            options = {"episode_type": "test", **episode_options(args.episodes - 1, args, advice)}
            obs, infos = envs.reset(options=options)
            start, n, total, done = info_of(infos, 0), 0, 0.0, False
            while not done:
                obs, reward, terminated, truncated, infos = envs.step(
                    np.array([agent.act(o, greedy=True) for o in obs]))
                n, total = n + 1, total + float(reward[0])
                done = bool(terminated[0] or truncated[0])
            total_steps += n
            info = info_of(infos, 0)
            final_equity = info.get("equity", math.nan)
            print(episode_line(args.episodes, args, 0, start, n, total, info, agent.epsilon),
                  flush=True)
        loop_seconds = time.perf_counter() - loop_began
        if args.render == "rgb_array":
            frame = envs.render()
            print(f"frame: {'x'.join(map(str, frame.shape))}" if frame is not None else "frame: none")
    finally:
        envs.close()
    print(report(counts))
    print(f"episodes={args.episodes} steps={total_steps} "
          f"steps_per_s={total_steps / max(loop_seconds, 1e-9):.0f} "
          f"final_equity={final_equity:.2f} time_s={time.perf_counter() - began:.1f}", flush=True)


def import_package(build: str | None) -> ModuleType:
    """Imports py_engine_native_env with py_engine_native from `build` when given, else
    installed, else ./build (and the package from this checkout when it is not installed)."""
    fallback = os.path.join(HERE, "..", "build")
    for path in [build] if build else [None, fallback]:
        if path:
            sys.path.insert(0, os.path.abspath(path))
        try:
            import py_engine_native  # noqa: F401
            break
        except ImportError:
            if path:
                sys.path.remove(os.path.abspath(path))
    else:
        raise SystemExit("train: cannot import py_engine_native; install it (pip install .) or "
                         "build it (scripts/build.sh) and pass --build build")
    try:
        import py_engine_native_env
    except ImportError:
        sys.path.insert(1, os.path.join(HERE, ".."))
        import py_engine_native_env
    return py_engine_native_env


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--envs", type=int, default=8, help="environments stepped at once")
    parser.add_argument("--episodes", type=int, default=24, help="episodes in all")
    parser.add_argument("--steps", type=int, default=0,
                        help="at most this many steps per episode (0: the UI's episode length)")
    parser.add_argument("--seed", type=int, default=1, help="seeds the UI, the agent and --candles")
    parser.add_argument("--render", choices=("human", "rgb_array"), default=None,
                        help="environment 0 as the page in Chromium: shown (human) or headless")
    parser.add_argument("--ui", choices=("headless", "none"), default="headless",
                        help="UI to start: Node headless, or none (connect one yourself)")
    parser.add_argument("--port", type=int, default=0,
                        help="port of environment 0 (the next ones count up); 0: any free port")
    parser.add_argument("--build", help="directory holding py_engine_native.abi3.so")
    parser.add_argument("--candles", type=int, default=0, metavar="N",
                        help="send N synthetic candles with init_candles (0: the UI's own series)")
    parser.add_argument("--episode-length", type=int, default=0,
                        help="episode length for a spawned UI (0: the UI's default)")
    parser.add_argument("--sync", choices=("alternate", "ui", "deferred", "eager"),
                        default="alternate", help="stepping style per environment")
    parser.add_argument("--entry", choices=("alternate", "ticket", "limit"), default="alternate",
                        help="how BUY/SELL open positions")
    parser.add_argument("--connect-timeout", type=float, default=None,
                        help="seconds to wait for the UI (default 60 with a spawned UI, "
                             "no limit with --ui none)")
    parser.add_argument("--screenshot", help="with --render: save a PNG of the page during a "
                        "training episode with trades (at the end if there is none)")
    parser.add_argument("--ui-dir", help="the reference UI's folder (default: the installed "
                        "package's copy, or ui/ of this checkout)")
    args = parser.parse_args(argv)
    if args.episodes < 1 or args.envs < 1:
        parser.error("--episodes and --envs must be at least 1")
    if args.screenshot and not args.render:
        parser.error("--screenshot needs --render human or --render rgb_array")
    if args.connect_timeout is None and args.ui != "none":
        args.connect_timeout = 60.0
    return args


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    pkg = import_package(args.build)
    try:
        train(args, pkg)
    except RuntimeError as e:  # the engine's errors, a UI that failed or never came
        raise SystemExit(f"train: {e}")


if __name__ == "__main__":
    main()
