# The examples against the headless reference UI under Node: examples/train.py end to end (its
# summary and that it reaches every engine method), and AsyncTradingEnv's reset/step contract.
import math
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import py_engine_native as pen
from standin import build_dir, free_port, run

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLES = os.path.join(ROOT, "examples")
# Last on the path: examples/distributed.py must not hide Dask's package from worker processes
# that inherit this path.
sys.path.append(EXAMPLES)

from py_engine_native_env import AsyncTradingEnv as TradingEnv, start_headless  # noqa: E402
from train import ENGINE_METHODS  # noqa: E402

pytestmark = pytest.mark.skipif(
    subprocess.run(["sh", "-c", "command -v node"], capture_output=True).returncode != 0
    or not os.path.isdir(os.path.join(ROOT, "ui", "node_modules", "ws")),
    reason="needs node and ui/node_modules (scripts/install-deps.sh node; npm ci --prefix ui)")

EPISODE_LENGTH = 12
SUMMARY = re.compile(r"^episodes=(\d+) steps=(\d+) steps_per_s=(\d+) "
                     r"final_equity=(-?\d+\.\d\d) time_s=\d+\.\d$")


BROWSER = pytest.param(["--render", "rgb_array"], id="browser", marks=[pytest.mark.slow, pytest.mark.skipif(
    not os.path.exists("/usr/bin/chromium")
    or not os.path.isdir(os.path.join(ROOT, "ui", "node_modules", "playwright-core")),
    reason="needs /usr/bin/chromium and ui/node_modules/playwright-core "
           "(scripts/install-deps.sh browser; npm ci --prefix ui)")])


@pytest.mark.parametrize("render", [pytest.param([], id="headless"), BROWSER])
def test_train_runs_two_episodes_through_every_engine_method(render):
    # 301 own candles in episodes of 60 steps, cut short at 40 steps: 2 x 40 steps.
    result = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, "train.py"), "--build", build_dir(), *render,
         "--envs", "1", "--port", str(free_port()), "--episodes", "2", "--steps", "40",
         "--episode-length", "60", "--candles", "301", "--seed", "3"],
        capture_output=True, text=True, timeout=180, cwd=ROOT)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.strip().splitlines()

    summary = SUMMARY.match(lines[-1])
    assert summary, lines[-1]
    assert summary.group(1, 2) == ("2", "80")
    assert float(summary.group(4)) > 0

    used = dict(item.split("=") for item in lines[-2].split(": ", 2)[2].split())
    assert set(used) == set(ENGINE_METHODS)
    assert [name for name, count in used.items() if int(count) == 0] == []
    assert lines[-2].startswith(f"methods used: {len(ENGINE_METHODS)}/{len(ENGINE_METHODS)}")

    episodes = [line for line in lines if line.startswith("episode ")]
    assert [line.split()[2].split("#")[0] for line in episodes] == ["train", "test"]
    assert "candles (init_candles)" in lines[0]
    if render:  # the page's pixels came back as an array (height, width, RGB)
        assert re.search(r"^frame: \d+x\d+x3$", result.stdout, re.M), result.stdout


# ------------------------------------------------------------------ TradingEnv contract

@pytest.fixture(scope="module")
def engine():
    """One engine and one headless UI (episodes of EPISODE_LENGTH steps) for the module."""
    port = free_port()
    engine = pen.NativeEngineAsync("127.0.0.1", port)
    run(awaited(engine.start))
    ui = start_headless([f"ws://127.0.0.1:{port}"], {"seed": 5, "episode_length": EPISODE_LENGTH})
    try:
        run(awaited(engine.wait_connected, 30.0), timeout=40.0)
        yield engine
    finally:
        ui.stop()


async def awaited(method, *args):
    """Engine methods need a running loop when called, not only when awaited."""
    return await method(*args)


async def play(env, actions, *, options=None, seed=None):
    """Resets and plays `actions` (the last repeated) to the episode's end; returns the steps."""
    obs, info = await env.reset(seed=seed, options=options)
    steps = [(obs, 0.0, False, False, info)]
    while not (steps[-1][2] or steps[-1][3]) and len(steps) <= 3 * EPISODE_LENGTH:
        steps.append(await env.step(actions[min(len(steps) - 1, len(actions) - 1)]))
    return steps


@pytest.mark.parametrize("sync", ["deferred", "eager"])
@pytest.mark.parametrize("entry", ["ticket", "limit"])
def test_episode_contract(engine, sync, entry):
    env = TradingEnv(engine, sync=sync, entry=entry)
    buy_then_hold = [TradingEnv.BUY, TradingEnv.HOLD]
    steps = run(play(env, buy_then_hold, options={"episode_index": 1}))

    (obs, _, _, _, info), *moves = steps
    assert obs.dtype == np.float64 and obs.shape == env.observation_shape == (env.window + 4,)
    assert (info["episode_index"], info["sync"], info["entry"]) == (1, sync, entry)
    assert obs[env.window:].tolist() == [0.0, 0.0, 0.0, 0.0]

    assert len(moves) == EPISODE_LENGTH
    for obs, reward, terminated, truncated, info in moves:
        assert obs.dtype == np.float64 and obs.shape == env.observation_shape
        assert type(reward) is float and type(terminated) is bool and type(truncated) is bool
    assert [m[2] for m in moves] == [False] * (EPISODE_LENGTH - 1) + [True]
    assert not any(m[3] for m in moves)
    assert moves[-1][0][env.window + 3] == 1.0

    last = moves[-1][4]
    assert last["summary"]["steps"] == EPISODE_LENGTH
    # Reward is the change of equity: the rewards add up to the episode's result.
    total = sum(m[1] for m in moves)
    assert math.isclose(total, last["summary"]["final_equity"] - last["summary"]["initial_equity"],
                        abs_tol=1e-6)
    assert math.isclose(last["equity"], last["summary"]["final_equity"], abs_tol=1e-6)
    assert last["events"].ndim == 2
    if entry == "ticket":
        assert moves[0][4]["order"][2] > 0  # filled at once: a fill price
        assert moves[0][0][env.window] == 1.0  # long from the first step on
        assert total != 0.0
    else:
        assert math.isnan(moves[0][4]["order"][2])  # a pending limit order


def test_stepping_styles_observe_the_same_episode(engine):
    actions = [TradingEnv.SELL, TradingEnv.HOLD, TradingEnv.HOLD, TradingEnv.CLOSE_ALL,
               TradingEnv.BUY, TradingEnv.HOLD]
    by_style = {sync: run(play(TradingEnv(engine, sync=sync), actions,
                               options={"episode_index": 2}))
                for sync in ("deferred", "eager")}
    deferred, eager = by_style["deferred"], by_style["eager"]
    assert len(deferred) == len(eager) == EPISODE_LENGTH + 1
    for a, b in zip(deferred, eager):
        np.testing.assert_array_equal(a[0], b[0])
        assert a[1:4] == b[1:4]
    window = TradingEnv(engine).window
    positions = [step[0][window] for step in deferred[1:6]]
    assert positions == [-1.0, -1.0, -1.0, 0.0, 1.0]
    assert deferred[4][4]["closed"].shape[0] == 1


def test_truncation_and_misuse(engine):
    env = TradingEnv(engine, max_steps=3)

    async def scenario():
        with pytest.raises(RuntimeError, match="reset"):
            await env.step(TradingEnv.HOLD)
        steps = await play(env, [TradingEnv.HOLD], seed=11)
        with pytest.raises(RuntimeError, match="reset"):
            await env.step(TradingEnv.HOLD)
        await env.reset()
        with pytest.raises(ValueError, match="action"):
            await env.step(4)
        return steps

    steps = run(scenario())
    assert [(s[2], s[3]) for s in steps[1:]] == [(False, False), (False, False), (False, True)]
    assert steps[-1][4]["summary"]["steps"] == 3


def test_seed_repeats_the_episode_choice(engine):
    env = TradingEnv(engine)

    async def chosen(seed):
        indices = [(await env.reset(seed=seed))[1]["episode_index"]]
        for _ in range(5):
            indices.append((await env.reset())[1]["episode_index"])
        return indices

    first = run(chosen(42))
    assert run(chosen(42)) == first
    assert len(set(first)) > 1
    with pytest.raises(ValueError, match="sync"):
        TradingEnv(engine, sync="sometimes")
