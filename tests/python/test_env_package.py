# py_engine_native_env against the headless reference UI under Node: the contract of
# Gymnasium's documented Env and VectorEnv API, errors for misuse, close(), and episodes that
# survive a UI going away (killed and restarted mid-episode).
import asyncio
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

import py_engine_native as pen
from py_engine_native_env import (EnvOptions, NodeNotFoundError, TradingEnv, VectorTradingEnv,
                                  start_headless, ui_dir)

pytestmark = pytest.mark.skipif(
    subprocess.run(["sh", "-c", "command -v node"], capture_output=True).returncode != 0
    or not os.path.isdir(os.path.join(ui_dir(), "node_modules", "ws")),
    reason="needs node and ui/node_modules (scripts/install-deps.sh node; npm ci --prefix ui)")

LENGTH = 6
SETTINGS = {"seed": 5, "episode_length": LENGTH}
CAN_CLOSE = hasattr(pen.NativeEngineAsync, "close")


@pytest.fixture(scope="module")
def env():
    with TradingEnv(settings=SETTINGS, reconnect_timeout=10.0) as env:
        yield env


def play(env, seed, steps=LENGTH):
    """Observations, rewards and ends of one seeded episode under seeded random actions."""
    obs, info = env.reset(seed=seed)
    env.action_space.seed(seed)
    trajectory = [(obs, 0.0, False, False)]
    for _ in range(steps):
        obs, reward, terminated, truncated, info = env.step(env.action_space.sample())
        trajectory.append((obs, reward, terminated, truncated))
        if terminated or truncated:
            break
    return trajectory


def assert_same(a, b):
    assert len(a) == len(b)
    for (obs_a, *rest_a), (obs_b, *rest_b) in zip(a, b):
        np.testing.assert_array_equal(obs_a, obs_b)
        assert rest_a == rest_b


def test_env_contract(env):
    assert env.render_mode is None and env.render() is None
    assert set(env.metadata["render_modes"]) == {"human", "rgb_array"}
    assert env.action_space.n == 4 and env.action_space.sample() in env.action_space
    obs, info = env.reset(seed=1)
    assert isinstance(info, dict) and obs in env.observation_space
    assert obs.dtype == np.float64 and obs.shape == env.observation_space.shape
    steps = 0
    while True:
        obs, reward, terminated, truncated, info = env.step(env.action_space.sample())
        steps += 1
        assert obs in env.observation_space, obs
        assert (type(reward), type(terminated), type(truncated), type(info)) == (
            float, bool, bool, dict)
        if terminated or truncated:
            break
    assert (steps, terminated, truncated) == (LENGTH, True, False)
    assert info["summary"]["steps"] == LENGTH


def test_same_seed_same_trajectory(env):
    first = play(env, 21)
    assert_same(play(env, 21), first)
    assert any(reward for _, reward, _, _ in first)
    other = play(env, 22)
    assert any(not np.array_equal(a[0], b[0]) for a, b in zip(first, other))


@pytest.mark.parametrize("action", [4, -1, 1.0, "buy", np.array([1])])
def test_action_outside_the_space(env, action):
    env.reset()
    with pytest.raises(ValueError, match="outside the action space"):
        env.step(action)


def test_step_before_reset_and_bad_arguments(env, monkeypatch):
    env.reset()
    while not any(env.step(0)[2:4]):
        pass
    with pytest.raises(RuntimeError, match=r"reset\(\) first"):
        env.step(0)
    with pytest.raises(ValueError, match="render_mode must be None or one of 'human', 'rgb_array'; got 'ascii'"):
        TradingEnv(render_mode="ascii")
    with pytest.raises(ValueError, match="num_envs"):
        VectorTradingEnv(0)
    monkeypatch.setenv("PATH", "/nonexistent")
    with pytest.raises(NodeNotFoundError, match="needs Node.js.*no node executable was found on PATH"):
        TradingEnv()


def port_is_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


@pytest.mark.parametrize("num_envs", [1, 3])
def test_close_ends_the_ui_and_frees_the_ports(num_envs):
    envs = TradingEnv(settings=SETTINGS) if num_envs == 1 else VectorTradingEnv(num_envs,
                                                                                settings=SETTINGS)
    urls = [envs.url] if num_envs == 1 else envs.urls
    ports = [int(url.rsplit(":", 1)[1]) for url in urls]
    pids = envs.ui_pids
    assert len(pids) == 1  # one Node process, whatever the number of environments
    assert not any(port_is_free(p) for p in ports)
    envs.close()
    envs.close()
    with pytest.raises(ProcessLookupError):
        os.kill(pids[0], 0)
    with pytest.raises(RuntimeError, match="closed"):
        envs.reset()
    if CAN_CLOSE:
        assert all(port_is_free(p) for p in ports)


# ------------------------------------------------------------------ vector environment

def test_vector_contract_and_autoreset(env):
    with VectorTradingEnv(3, settings=SETTINGS) as envs:
        assert envs.metadata["autoreset_mode"] in ("NextStep", getattr(
            envs.metadata["autoreset_mode"], "NEXT_STEP", None))
        obs, infos = envs.reset(seed=4)
        assert obs.shape == (3, 12) and obs in envs.observation_space
        assert infos["_episode_index"].tolist() == [True] * 3
        # Environment i was seeded as TradingEnv.reset(seed=4 + i) is.
        chosen = [env.reset(seed=4 + i)[1]["episode_index"] for i in range(3)]
        assert infos["episode_index"].tolist() == chosen and len(set(chosen)) > 1
        envs.action_space.seed(4)
        trajectory = [obs]
        for step in range(LENGTH):
            obs, rewards, terminated, truncated, infos = envs.step(envs.action_space.sample())
            trajectory.append(obs)
            assert obs in envs.observation_space
            assert (rewards.dtype, terminated.dtype, truncated.dtype) == (np.float64, bool, bool)
            assert terminated.tolist() == [step == LENGTH - 1] * 3 and not truncated.any()
        assert infos["_summary"].all() and infos["summary"]["steps"].tolist() == [LENGTH] * 3
        # Next-step autoreset: the action is ignored, the reset's observation and info come back.
        obs, rewards, terminated, truncated, infos = envs.step(np.array([1, 2, 3]))
        assert rewards.tolist() == [0.0] * 3 and not (terminated.any() or truncated.any())
        assert "action" not in infos and infos["_episode_index"].all()
        assert (obs[:, -4:] == 0.0).all()  # flat, no pnl, nothing elapsed
        obs, rewards, *_ = envs.step(np.zeros(3, dtype=int))
        assert (obs[:, -1] > 0).all()
        # The same seeds give the same episodes.
        again, _ = envs.reset(seed=4)
        np.testing.assert_array_equal(again, trajectory[0])
        with pytest.raises(ValueError, match="outside the action space"):
            envs.step([0, 4, 0])


def test_send_recv_replays_what_step_gives_each_environment():
    """recv() returns the environments that are ready, each going through its own episodes as
    step() would take it (autoreset included)."""
    actions = np.random.default_rng(2).integers(0, 4, (2 * LENGTH + 3, 3))
    options = EnvOptions(settings=SETTINGS, window=6)
    with VectorTradingEnv(3, options=options, batch_size=2) as envs:
        envs.reset(seed=7)
        by_step = [envs.step(a)[0] for a in actions]
        assert by_step[0].shape == (3, 10)
        envs.reset(seed=7)
        seen, under_way = [[] for _ in range(3)], {0, 1, 2}
        envs.send(actions[0])
        while under_way:
            obs, rewards, terminated, truncated, infos, ids = envs.recv()
            assert len(ids) >= min(2, len(under_way)) and set(ids) <= under_way
            for row, i in enumerate(ids):
                seen[i].append(obs[row])
            under_way -= set(ids)
            ids = [i for i in ids if len(seen[i]) < len(actions)]
            if ids:
                envs.send([actions[len(seen[i]), i] for i in ids], ids)
                under_way |= set(ids)
        for i in range(3):
            np.testing.assert_array_equal(np.array(seen[i]), np.array(by_step)[:, i])
        with pytest.raises(RuntimeError, match="send"):
            envs.recv()
        envs.send([0], [1])
        with pytest.raises(RuntimeError, match="under way"):
            envs.send([0, 0], [0, 1])
        with pytest.raises(RuntimeError, match="under way"):
            envs.step([0, 0, 0])
        assert envs.recv()[5].tolist() == [1]
    with pytest.raises(TypeError, match="windw"):
        TradingEnv(windw=3)


def test_a_step_is_one_call_unless_the_action_trades():
    calls = []

    class Tally:
        def __init__(self, engine):
            self.engine = engine

        def __getattr__(self, name):
            calls.append(name)
            return getattr(self.engine, name)

    with TradingEnv(settings=dict(SETTINGS, episode_length=50), engine_wrapper=Tally) as env:
        env.reset(seed=1)
        del calls[:]
        for action in (0, 0, 1, 0, 1, 3, 3):
            env.step(action)
        assert calls == ["step_and_sync"] * 2 + ["place_ticket", "step_and_sync"] \
            + ["step_and_sync"] * 2 + ["close_positions", "step_and_sync", "step_and_sync"]


def test_a_short_history_fills_the_end_of_the_returns():
    with TradingEnv(settings=dict(SETTINGS, ohlc_window=3)) as env:  # 3 closes at a reset
        obs, _ = env.reset(seed=1)
        first = env.step(0)[0]
    window = env.observation_space.shape[0] - 4
    assert (obs[:window - 2] == 0).all() and (obs[window - 2:window] != 0).all()
    assert (first[:window - 3] == 0).all() and (first[window - 3:window] != 0).all()


# ------------------------------------------------------------------ a UI that goes away

def restart_ui(urls, settings):
    """A new headless UI on `urls`, returned once it has connected to all of them."""
    ui = start_headless(urls, settings, quiet=False)
    deadline = time.monotonic() + 20
    while ui.output().count("ready") < len(urls):
        assert time.monotonic() < deadline and ui.alive, ui.output()
        time.sleep(0.05)
    return ui


def foreign_env(n, settings, **keywords):
    """An environment (vector for n > 1) on a UI it did not start: ui="none", one headless
    process of the test's serving n consecutive free ports. Returns (env, that UI)."""
    for _ in range(50):
        base = int(port_of_a_free_socket())
        if all(port_is_free(base + i) for i in range(n)):
            break
    ui = start_headless([f"ws://127.0.0.1:{base + i}" for i in range(n)], settings)
    try:
        kind = TradingEnv if n == 1 else lambda **k: VectorTradingEnv(n, **k)
        return kind(ui="none", port=base, settings=settings, **keywords), ui
    except BaseException:
        ui.stop()
        raise


def port_of_a_free_socket():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("restart_first", [False, True], ids=["dropped", "replaced"])
def test_env_survives_a_ui_restart(restart_first):
    settings = dict(SETTINGS, episode_length=50)
    env, ui = foreign_env(1, settings, reconnect_timeout=0.5)
    with env:
        try:
            env.reset(seed=3)
            env.step(1)
            ui.proc.kill()
            ui.proc.wait()
            ui = restart_ui([env.url], settings) if restart_first else None
            obs, reward, terminated, truncated, info = env.step(0)
            assert (reward, terminated, truncated) == (0.0, False, True)
            assert info["ui_lost"].startswith(
                "the UI was replaced" if restart_first else "RpcTransportError")
            with pytest.raises(RuntimeError, match=r"reset\(\) first"):
                env.step(0)
            if not restart_first:
                with pytest.raises(RuntimeError, match="no UI connected again within 0.5 s"):
                    env.reset()
                ui = restart_ui([env.url], settings)
            obs, info = env.reset(seed=3)
            assert obs in env.observation_space and "ui_lost" not in info
            assert env.step(0)[2:4] == (False, False)
        finally:
            if ui:
                ui.stop()


def test_vector_env_reports_a_lost_ui_once_and_waits_for_it():
    settings = dict(SETTINGS, episode_length=200)
    envs, ui = foreign_env(2, settings, reconnect_timeout=20.0)
    uis = [ui]
    with envs:
        try:
            envs.reset(seed=1)
            envs.step([1, 2])
            ui.proc.kill()  # the one process serving both
            ui.proc.wait()
            _, rewards, terminated, truncated, infos = envs.step([0, 0])
            assert truncated.all() and infos["_ui_lost"].all() and infos["_episode"].all()
            assert infos["ui_lost"][0].startswith("RpcTransportError")
            # From now on one UI process per environment, so that one can go alone.
            uis += [restart_ui([envs.urls[0]], settings),
                    restart_ui([envs.urls[1]], dict(settings, seed=6))]
            _, _, _, truncated, infos = envs.step([0, 0])  # the autoreset, on the new UIs
            assert not truncated.any() and infos["_episode_index"].all()
            uis[2].proc.kill()
            _, _, _, truncated, infos = envs.step([0, 0])
            assert truncated.tolist() == [False, True] and infos["_ui_lost"].tolist() == [False, True]
            uis[2] = restart_ui([envs.urls[1]], dict(settings, seed=6))
            _, _, _, truncated, infos = envs.step([0, 0])
            assert not truncated.any() and infos["_episode_index"].tolist() == [False, True]
        finally:
            for ui in uis:
                ui.stop()


def test_vector_env_gives_up_after_reconnect_timeout():
    envs, ui = foreign_env(2, SETTINGS, reconnect_timeout=0.3)
    with envs:
        envs.reset(seed=1)
        ui.stop()
        envs.send([0, 0])
        _, _, _, truncated, infos, _ = envs.recv()
        assert truncated.all() and infos["_ui_lost"].all()
        with pytest.raises(RuntimeError, match="environment 0: no UI connected again within 0.3 s"):
            envs.step([0, 0])


@pytest.mark.parametrize("num_envs", [1, 3])
def test_a_ui_process_of_its_own_is_started_again_at_once(num_envs):
    settings = dict(SETTINGS, episode_length=50)
    candles = np.tile(1.01 ** np.arange(301.0)[:, None], 4)  # a return of 1 % every step
    keywords = dict(settings=settings, reconnect_timeout=5.0, candles=candles)
    envs = TradingEnv(**keywords) if num_envs == 1 else VectorTradingEnv(num_envs, **keywords)
    with envs:
        envs.reset(seed=2)
        step = (lambda: envs.step(0)) if num_envs == 1 else \
            (lambda: envs.step(np.zeros(num_envs, dtype=int)))
        for _ in range(5):  # then too many deaths within a minute
            old = envs.ui_pids
            os.kill(old[0], signal.SIGKILL)
            _, _, _, truncated, infos = step()
            assert np.all(truncated) and np.all(infos["ui_lost"] != None)  # noqa: E711
            assert envs.ui_pids != old  # started again with the loss, not at the next reset
            # the next reset (or autoreset) finds the new UI connected within reconnect_timeout
            if num_envs == 1:
                envs.reset()
            else:
                assert not step()[3].any()
            obs = step()[0]  # on the candles loaded again
            np.testing.assert_allclose(np.reshape(obs, (num_envs, -1))[:, 7], 100 * np.log(1.01))
        os.kill(envs.ui_pids[0], signal.SIGKILL)
        with pytest.raises(RuntimeError, match="died 6 times within 60 s"):
            step()
            envs.reset() if num_envs == 1 else step()


def test_ui_process_ends_with_a_killed_python():
    script = ("import os, signal, sys\n"
              "from py_engine_native_env import TradingEnv\n"
              "env = TradingEnv()\n"
              "print(env.ui_pids[0], flush=True)\n"
              "os.kill(os.getpid(), signal.SIGKILL)\n")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert result.returncode == -signal.SIGKILL, result.stderr
    pid, deadline = int(result.stdout), time.monotonic() + 10
    while os.path.exists(f"/proc/{pid}") and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not os.path.exists(f"/proc/{pid}")


def test_env_works_inside_a_running_event_loop(env):
    """As in a notebook, whose cells run while an event loop runs."""
    async def cell():
        obs, _ = env.reset(seed=1)
        return obs, env.step(0)

    obs, step = asyncio.run(cell())
    assert obs in env.observation_space and step[0] in env.observation_space


def test_a_page_that_fails_to_open_says_why(tmp_path):
    """browser.mjs ending at once (no Chromium, a Node too old) is reported with its reason."""
    node = tmp_path / "node"
    # Its output ends a moment before it does, as a dying process's may.
    node.write_text('#!/bin/sh\ncase "$1" in *browser.mjs)\n'
                    '  exec 1>&-; echo "no browser here" >&2; sleep 0.5; exit 3;;\nesac\n'
                    f'exec {shutil.which("node")} "$@"\n')
    node.chmod(0o755)
    with pytest.raises(RuntimeError, match=r"browser\.mjs exited with status 3: no browser here"):
        TradingEnv(render_mode="rgb_array", node=str(node))
