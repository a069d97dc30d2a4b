#!/usr/bin/env python3
"""Training-loop example: a tabular Q-learning agent trades the reference UI's simulation
through py_engine_native.

    /usr/bin/python3 examples/train.py --peer headless --episodes 6
    /usr/bin/python3 examples/train.py --peer browser --episodes 4     # the page in Chromium
    /usr/bin/python3 examples/train.py --peer none --port 8765         # any UI you connect

The run uses every engine method once or more: start and wait_connected to meet the UI,
get_sync_policy and get_rl_config to learn how it works, init_candles (with --candles N) to
load our own price series, and through TradingEnv (examples/env.py) reset_episode,
get_snapshot, get_ohlc, step_next, get_ticket_list, step_and_sync, place_ticket, place_order,
close_positions, end_session and fetch_events. With two episodes or more, the last one is a
greedy evaluation on the UI's test set. Episodes alternate the stepping style (the UI's advice,
then the other) and the entry style (market tickets, then limit orders), so that one run
covers both; --sync and --entry fix either.

Output: one line per episode, then "methods used: ..." and the summary line
"episodes=N steps=M steps_per_s=X final_equity=Y time_s=T".
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

from agent import MomentumQAgent  # noqa: E402
from env import TradingEnv  # noqa: E402
from peers import Peers, start_browser, start_headless  # noqa: E402

ENGINE_METHODS = (
    "start", "wait_connected", "init_candles", "reset_episode", "get_rl_config", "step_next",
    "step_and_sync", "get_snapshot", "get_ticket_list", "get_ohlc", "fetch_events",
    "end_session", "get_sync_policy", "close_positions", "place_order", "place_ticket",
)
OTHER_SYNC = {"deferred": "eager", "eager": "deferred"}


class MethodTally:
    """Wraps an engine and counts the calls of each method."""

    def __init__(self, engine) -> None:
        self._engine = engine
        self.counts: collections.Counter[str] = collections.Counter()

    def __getattr__(self, name):
        method = getattr(self._engine, name)

        def call(*args, **kwargs):
            self.counts[name] += 1
            return method(*args, **kwargs)
        return call

    def report(self) -> str:
        used = sum(1 for name in ENGINE_METHODS if self.counts[name])
        calls = " ".join(f"{name}={self.counts[name]}" for name in ENGINE_METHODS)
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


async def wait_for_ui(engine, peers: Peers | None, timeout: float | None) -> None:
    """Waits for the UI; gives up when a spawned peer exits or `timeout` seconds pass."""
    if peers is None and timeout is None:
        await engine.wait_connected()
        return
    deadline = time.monotonic() + (timeout or float("inf"))
    while True:
        try:
            await engine.wait_connected(0.25)
            return
        except RuntimeError:
            failure = peers.failed() if peers else None
            if failure:
                raise SystemExit(f"train: the UI peer failed: {failure}")
            if time.monotonic() > deadline:
                raise SystemExit(f"train: no UI connected within {timeout:.0f} s")


def episode_options(k: int, args, advice: str) -> dict:
    evaluate = args.episodes >= 2 and k == args.episodes - 1
    sync = {"alternate": advice if k % 2 == 0 else OTHER_SYNC[advice], "ui": advice}
    entry = {"alternate": "ticket" if k % 2 == 0 else "limit"}
    return {"episode_type": "test" if evaluate else "train",
            "sync": sync.get(args.sync, args.sync),
            "entry": entry.get(args.entry, args.entry)}


async def run_episode(env: TradingEnv, agent: MomentumQAgent, seed: int | None,
                      options: dict) -> tuple[int, float, dict, dict]:
    evaluate = options["episode_type"] == "test"
    obs, start = await env.reset(seed=seed, options=options)
    steps, total, done = 0, 0.0, False
    info: dict = {}
    while not done:
        action = agent.act(obs, greedy=evaluate)
        next_obs, reward, terminated, truncated, info = await env.step(action)
        if not evaluate:
            agent.learn(obs, action, reward, next_obs, terminated)
        obs, total, steps = next_obs, total + reward, steps + 1
        done = terminated or truncated
    if not evaluate:
        agent.end_episode()
    return steps, total, start, info


async def train(args, native) -> None:
    began = time.perf_counter()
    engine = MethodTally(native.NativeEngineAsync(args.host, args.port))
    await engine.start()
    ws_url = f"ws://{args.host}:{args.port}"
    settings = {"seed": args.seed}
    if args.episode_length:
        settings["episode_length"] = args.episode_length
    peers = None
    if args.peer == "headless":
        peers = start_headless(ws_url, settings)
    elif args.peer == "browser":
        peers = start_browser(ws_url, settings, headed=args.headed, screenshot=args.screenshot)
    else:
        print(f"waiting for a UI to connect to {ws_url}", flush=True)
    try:
        await wait_for_ui(engine, peers, args.connect_timeout)
        advice = await engine.get_sync_policy() or "deferred"
        if args.candles:
            await engine.init_candles(synthetic_candles(args.candles, args.seed))
        config = json.loads(await engine.get_rl_config())
        print(f"ui: {config.get('instrument')} {config.get('candle_count')} candles "
              f"({config.get('candle_source')}), episode_length={config.get('episode_length')} "
              f"train={config.get('train_episodes')} test={config.get('test_episodes')} "
              f"sync advice={advice}", flush=True)

        env = TradingEnv(engine, config=config, max_steps=args.steps or None)
        agent = MomentumQAgent(env.window, seed=args.seed)
        total_steps, final_equity, loop_began = 0, float("nan"), time.perf_counter()
        for k in range(args.episodes):
            options = episode_options(k, args, advice)
            steps, reward, start, info = await run_episode(
                env, agent, args.seed if k == 0 else None, options)
            total_steps += steps
            final_equity = info["equity"]
            summary = info.get("summary", {})
            print(f"episode {k + 1}/{args.episodes} {start['episode_type']}#{start['episode_index']} "
                  f"sync={start['sync']} entry={start['entry']} steps={steps} "
                  f"reward={reward:+.2f} equity={final_equity:.2f} "
                  f"trades={int(summary.get('closed_trades', 0))} "
                  f"wins={int(summary.get('winning_trades', 0))} "
                  f"drawdown={summary.get('max_drawdown', 0.0):.2%} "
                  f"events={len(info.get('events', ()))} epsilon={agent.epsilon:.3f}", flush=True)
        loop_seconds = time.perf_counter() - loop_began
    finally:
        if peers:
            peers.stop()
    print(engine.report())
    print(f"episodes={args.episodes} steps={total_steps} "
          f"steps_per_s={total_steps / max(loop_seconds, 1e-9):.0f} "
          f"final_equity={final_equity:.2f} time_s={time.perf_counter() - began:.1f}", flush=True)


def import_engine(build: str | None):
    """Imports py_engine_native: from `build` when given, else installed, else ./build."""
    fallback = os.path.join(HERE, "..", "build")
    candidates: list[str | None] = [build] if build else [None, fallback]
    for path in candidates:
        if path:
            sys.path.insert(0, os.path.abspath(path))
        try:
            import py_engine_native
            return py_engine_native
        except ImportError:
            if path:
                sys.path.remove(os.path.abspath(path))
    raise SystemExit("train: cannot import py_engine_native; install it (pip install .) or "
                     "build it (scripts/build.sh) and pass --build build")


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8765)
    parser.add_argument("--episodes", type=int, default=6)
    parser.add_argument("--steps", type=int, default=0,
                        help="at most this many steps per episode (0: the UI's episode length)")
    parser.add_argument("--seed", type=int, default=1, help="seeds the UI, the agent and --candles")
    parser.add_argument("--peer", choices=("headless", "browser", "none"), default="headless",
                        help="UI to start: Node headless, the page in Chromium, or none (wait)")
    parser.add_argument("--build", help="directory holding py_engine_native.abi3.so")
    parser.add_argument("--candles", type=int, default=0, metavar="N",
                        help="send N synthetic candles with init_candles (0: the UI's own series)")
    parser.add_argument("--episode-length", type=int, default=0,
                        help="episode length for a spawned UI (0: the UI's default)")
    parser.add_argument("--sync", choices=("alternate", "ui", "deferred", "eager"),
                        default="alternate", help="stepping style per episode")
    parser.add_argument("--entry", choices=("alternate", "ticket", "limit"), default="alternate",
                        help="how BUY/SELL open positions")
    parser.add_argument("--connect-timeout", type=float, default=None,
                        help="seconds to wait for the UI (default 60 with a spawned peer, "
                             "no limit with --peer none)")
    parser.add_argument("--headed", action="store_true", help="browser peer: show the window")
    parser.add_argument("--screenshot", help="browser peer: save a PNG of the page during a "
                        "training episode with trades (at the end if there is none)")
    args = parser.parse_args(argv)
    if args.episodes < 1:
        parser.error("--episodes must be at least 1")
    if args.connect_timeout is None and args.peer != "none":
        args.connect_timeout = 60.0
    return args


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    native = import_engine(args.build)
    try:
        asyncio.run(train(args, native))
    except RuntimeError as e:  # the engine's errors: bind failures, time-outs, error replies
        raise SystemExit(f"train: {e}")


if __name__ == "__main__":
    main()
