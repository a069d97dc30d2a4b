# py_engine_native_env with a user's own candles, its refusals of wrong settings, types and
# indices, and Gymnasium's episode statistics at every episode's end.
import json
import os
import subprocess

import numpy as np
import pytest

from py_engine_native_env import EnvOptions, TradingEnv, VectorTradingEnv, ui_dir
from py_engine_native_env.options import UI_SETTINGS

pytestmark = pytest.mark.skipif(
    subprocess.run(["sh", "-c", "command -v node"], capture_output=True).returncode != 0
    or not os.path.isdir(os.path.join(ui_dir(), "node_modules", "ws")),
    reason="needs node and ui/node_modules (npm ci --prefix ui)")

LENGTH, WINDOW = 10, 4
CLOSE = 100 * np.exp(np.cumsum(np.random.default_rng(7).normal(0, 0.01, 61)))  # 6 episodes
OPEN = np.r_[100.0, CLOSE[:-1]]
COLUMNS = {"open": OPEN, "high": np.maximum(OPEN, CLOSE) + 1, "low": np.minimum(OPEN, CLOSE) - 1,
           "close": CLOSE, "volume": np.arange(61.0), "time": 1e9 + 60 * np.arange(61)}


def as_csv(tmp_path, names):
    path = tmp_path / "candles.csv"
    np.savetxt(path, np.column_stack([COLUMNS[n.lower()] for n in names]), delimiter=",",
               header=",".join(names), comments="")
    return str(path)


@pytest.mark.parametrize("source", ["array", "csv", "dataframe"])
def test_candles_of_ones_own_are_what_the_environment_sees(source, tmp_path):
    if source == "array":
        candles = np.column_stack([COLUMNS[n] for n in ("open", "high", "low", "close")])
    elif source == "csv":
        candles = as_csv(tmp_path, ["Close", "Volume", "Time", "Low", "High", "Open"])
    else:
        pd = pytest.importorskip("pandas")
        candles = pd.DataFrame({n: COLUMNS[n] for n in ("time", "close", "open", "low", "high")})
    n = 1 if source == "csv" else 2
    kind = TradingEnv if n == 1 else lambda **k: VectorTradingEnv(n, **k)
    with kind(settings={"episode_length": LENGTH}, window=WINDOW, candles=candles) as env:
        obs, info = env.reset(options={"episode_index": 1})
        # train episode 1 begins at candle LENGTH, the window of returns before it
        expected = 100 * np.diff(np.log(CLOSE[LENGTH - WINDOW:LENGTH + 1]))
        np.testing.assert_allclose(np.reshape(obs, (n, -1))[:, :WINDOW],
                                   np.tile(expected, (n, 1)))
        with pytest.raises(ValueError, match="out of range: the UI has 5 train episodes"):
            env.reset(options={"episode_index": 5})  # the loaded series' count, not 10**6


@pytest.fixture(scope="module")
def env():
    with TradingEnv(settings={"episode_length": LENGTH, "train_episodes": 3,
                              "test_episodes": 0}) as env:
        yield env


@pytest.mark.parametrize("options, error", [
    ({"episode_type": "tset"}, "episode_type must be one of train, test; got 'tset'"),
    ({"episode_index": 3}, "episode_index 3 is out of range: the UI has 3 train episodes"),
    ({"episode_index": -1}, "episode_index -1 is out of range"),
    ({"episode_type": "test"}, "the UI has no test episodes"),
])
def test_reset_refuses_an_episode_the_ui_does_not_have(env, options, error):
    with pytest.raises(ValueError, match=error):
        env.reset(options=options)


@pytest.mark.parametrize("keywords, error", [
    ({"settings": {"episode_lenght": 5}},
     "unknown setting 'episode_lenght'; the reference UI knows seed, sync, market, "),
    ({"episode_type": "tset"}, "episode_type must be one of train, test"),
    ({"candles": np.ones((5, 3))}, r"at least 2 rows and 4 columns .* got shape \(5, 3\)"),
    ({"candles": [[1, 2, 3, np.nan]] * 3}, r"finite numbers; row 0 is"),
    ({"candles": "HEADER"}, "lacks the column close"),
])
def test_wrong_options_are_refused_before_anything_starts(keywords, error, tmp_path):
    if isinstance(keywords.get("candles"), str):
        keywords["candles"] = as_csv(tmp_path, ["open", "high", "low", "volume"])
    with pytest.raises(ValueError, match=error):
        TradingEnv(options=EnvOptions(**keywords))


def test_the_known_settings_are_the_ui_s():
    script = ("import('./src/config.js').then(m => "
              "console.log(JSON.stringify(m.SETTING_NAMES)))")
    out = subprocess.run(["node", "-e", script], cwd=ui_dir(), capture_output=True, text=True,
                         timeout=30, check=True).stdout
    assert tuple(json.loads(out)) == UI_SETTINGS


def test_episode_statistics_at_each_end(env):
    env.reset(seed=4)
    total, steps, info, done = 0.0, 0, {}, False
    while not done:
        _, reward, terminated, truncated, info = env.step(env.action_space.sample())
        total, steps, done = total + reward, steps + 1, terminated or truncated
        assert ("episode" in info) == done
    assert info["episode"]["r"] == pytest.approx(total) and info["episode"]["l"] == steps
    assert 0 < info["episode"]["t"] < 60

    with VectorTradingEnv(3, settings={"episode_length": LENGTH}, max_steps=3) as envs:
        envs.reset(seed=1)
        returns, lengths, resetting = np.zeros(3), np.zeros(3, dtype=int), np.zeros(3, bool)

        def take(rewards, terminated, truncated, infos, ids=np.arange(3)):
            returns[ids] += rewards
            lengths[ids] += ~resetting[ids]
            ended = terminated | truncated
            np.testing.assert_array_equal(infos.get("_episode", np.zeros(len(ids), bool)), ended)
            if ended.any():
                np.testing.assert_allclose(infos["episode"]["r"][ended], returns[ids][ended])
                np.testing.assert_array_equal(infos["episode"]["l"][ended], lengths[ids][ended])
            returns[ids[ended]], lengths[ids[ended]], resetting[ids] = 0.0, 0, ended

        envs.send([1], [0])  # environment 0 a step ahead: its episodes end a round earlier
        take(*envs.recv()[1:])
        for _ in range(8):
            take(*envs.step(envs.action_space.sample())[1:])
