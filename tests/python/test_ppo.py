# examples/ppo.py end to end against the headless reference UI: on a market with a strongly
# planted trend, a few PPO updates must beat random actions and buy-and-hold on held-out test
# episodes.
import importlib.util
import math
import os
import re
import subprocess
import sys

import pytest

from standin import build_dir

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
MISSING = [m for m in ("torch", "matplotlib") if importlib.util.find_spec(m) is None]
pytestmark = [
    pytest.mark.skipif(bool(MISSING), reason=f"examples/ppo.py needs {', '.join(MISSING)} "
                       "(scripts/install-deps.sh learn)"),
    pytest.mark.skipif(
        subprocess.run(["sh", "-c", "command -v node"], capture_output=True).returncode != 0
        or not os.path.isdir(os.path.join(ROOT, "ui", "node_modules", "ws")),
        reason="needs node and ui/node_modules (scripts/install-deps.sh node; npm ci --prefix ui)"),
]
ROW = re.compile(r"^(ppo \(greedy\)|random|buy-and-hold)\s+(\d+)\s+([-+]\d+\.\d\d)\s+(\d+\.\d\d)$",
                 re.M)


def test_ppo_learns_a_planted_trend_on_test_episodes(tmp_path):
    # Regimes of 50 steps on average that drift 1.5 times the noise per step.
    result = subprocess.run(
        [sys.executable, os.path.join(ROOT, "examples", "ppo.py"), "--build", build_dir(),
         "--market", "trend", "--setting", "trend_drift=0.003", "--setting", "episode_length=60",
         "--num-envs", "8", "--total-timesteps", "30720", "--eval-episodes", "64",
         "--seed", "2", "--out", str(tmp_path), "--name", "run"],
        capture_output=True, text=True, timeout=150, cwd=ROOT)
    assert result.returncode == 0, result.stderr
    rows = {name: (int(n), float(mean), float(se)) for name, n, mean, se in ROW.findall(result.stdout)}
    assert set(rows) == {"ppo (greedy)", "random", "buy-and-hold"}, result.stdout
    assert {n for n, _, _ in rows.values()} == {64}
    _, agent, agent_se = rows["ppo (greedy)"]
    for name in ("random", "buy-and-hold"):
        _, other, other_se = rows[name]
        assert agent - other > 3 * math.hypot(agent_se, other_se), result.stdout

    with open(tmp_path / "run.png", "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    import torch
    saved = torch.load(tmp_path / "run.pt")
    assert saved["args"]["market"] == "trend" and saved["model"]
