# Same seeds, candles and actions give the same observations, rewards and ends as the recording
# in data/trajectories.npz (made with an earlier version of the package: run this file as a
# script to record it again).
import asyncio
import os
import sys

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
RECORDING = os.path.join(HERE, "data", "trajectories.npz")
SETTINGS = {"seed": 3, "episode_length": 40, "spread": 0, "commission": 0}
SINGLE_STEPS, VECTOR_STEPS, NUM_ENVS = 240, 90, 4


def candles(rows=300, seed=0):
    """A deterministic random walk: time, open, high, low, close, volume."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.004, rows)))
    open_ = np.concatenate(([100.0], close[:-1]))
    spread = np.abs(rng.normal(0.0, 0.003, (2, rows))) * close
    return np.column_stack([np.arange(rows) * 60.0, open_, np.maximum(open_, close) + spread[0],
                            np.minimum(open_, close) - spread[1], close, rng.integers(1, 9, rows)])


def load_candles(env, engines):
    async def load():
        for engine in engines:
            await engine.init_candles(candles())
    env.run(load())


def play_single(pkg, actions):
    with pkg.TradingEnv(settings=SETTINGS) as env:
        load_candles(env, [env.engine])
        obs, _ = env.reset(seed=11)
        rows = []
        for k, action in enumerate(actions):
            if k and (rows[-1][2] or rows[-1][3]):
                obs, _ = env.reset(options={"entry": "limit"} if k % 3 else None)
                rows.append((obs, 0.0, False, False))
                continue
            rows.append(env.step(int(action))[:4])
    return [np.array(column) for column in zip(*rows)]


def play_vector(pkg, actions):
    with pkg.VectorTradingEnv(NUM_ENVS, settings=SETTINGS, max_steps=30) as envs:
        load_candles(envs, envs._backend.engines)
        rows = [(envs.reset(seed=21)[0], np.zeros(NUM_ENVS), np.zeros(NUM_ENVS, bool),
                 np.zeros(NUM_ENVS, bool))]
        rows += [envs.step(a)[:4] for a in actions]
    return [np.array(column) for column in zip(*rows)]


def actions():
    rng = np.random.default_rng(5)
    return rng.integers(0, 4, SINGLE_STEPS), rng.integers(0, 4, (VECTOR_STEPS, NUM_ENVS))


def record(pkg):
    single, vector = actions()
    data = {}
    for name, columns in (("single", play_single(pkg, single)),
                          ("vector", play_vector(pkg, vector))):
        for field, column in zip(("obs", "reward", "terminated", "truncated"), columns):
            data[f"{name}_{field}"] = column
    np.savez_compressed(RECORDING, **data)


class CallsBatch:
    """EngineBatch's contract served by the engines' own calls, for a module without it."""

    def __init__(self, engines):
        self.engines, self.futures = list(engines), {}

    def send(self, ids=None, fn="step_and_sync", timeout_secs=None):
        for i in range(len(self.engines)) if ids is None else ids:
            assert i not in self.futures
            self.futures[i] = getattr(self.engines[i], fn)()

    def recv(self, min_ready=None, timeout_secs=None):
        loop = asyncio.get_running_loop()
        asyncio.events._set_running_loop(None)  # waits as the native call does: blocking
        try:
            while sum(f.done() for f in self.futures.values()) < (min_ready or len(self.futures)):
                loop.run_until_complete(asyncio.sleep(0.0002))
        finally:
            asyncio.events._set_running_loop(loop)
        done = [i for i, f in self.futures.items() if f.done()]
        return [(i, f.exception() or f.result()) for i, f in
                ((i, self.futures.pop(i)) for i in done)]

    def step_and_sync(self, timeout_secs=None):
        self.send()
        results = [r for _, r in sorted(self.recv())]
        return np.array([r[1] for r in results]), [r[0] for r in results], None


@pytest.mark.parametrize("name,batch", [("single", None), ("vector", "calls"),
                                        ("vector", "batch")])
def test_replays_the_recorded_trajectories(name, batch, monkeypatch):
    import py_engine_native as pen
    import py_engine_native_env as pkg
    if batch == "calls":
        monkeypatch.delattr(pen, "EngineBatch", raising=False)
    elif not hasattr(pen, "EngineBatch"):
        monkeypatch.setattr(pen, "EngineBatch", CallsBatch, raising=False)
    recorded = np.load(RECORDING)
    single, vector = actions()
    columns = play_single(pkg, single) if name == "single" else play_vector(pkg, vector)
    for field, column in zip(("obs", "reward", "terminated", "truncated"), columns):
        np.testing.assert_allclose(column, recorded[f"{name}_{field}"], rtol=1e-12, atol=1e-12,
                                   err_msg=f"{name} {field}")


if __name__ == "__main__":
    sys.path[:0] = [os.environ["PEN_BUILD_DIR"], os.path.join(HERE, "..", "..")]
    import py_engine_native_env
    record(py_engine_native_env)
