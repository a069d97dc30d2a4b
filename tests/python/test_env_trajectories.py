# Same seeds, candles and actions give the same observations, rewards and ends as the recording
# in data/trajectories.npz (made with an earlier version of the package: run this file as a
# script to record it again).
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


@pytest.mark.parametrize("name", ["single", "vector"])
def test_replays_the_recorded_trajectories(name):
    import py_engine_native_env as pkg
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
