# The rollout runner on a LocalCluster of two worker processes, each with a vector environment
# of 2 against its own headless UI: full rounds, a UI killed mid-round and a worker process
# killed mid-round (each reported by name, the other worker's trajectory kept, the environments
# recreated on the next round), and no process left behind.
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from py_engine_native_env import ui_dir

distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")
pytestmark = [
    pytest.mark.skipif(
        subprocess.run(["sh", "-c", "command -v node"], capture_output=True).returncode != 0
        or not os.path.isdir(os.path.join(ui_dir(), "node_modules", "ws")),
        reason="needs node and ui/node_modules (scripts/install-deps.sh node; npm ci --prefix ui)"),
    # Debian's distributed starts its loop runner with tornado's IOLoop(), which tornado 6.2
    # deprecates when no asyncio loop runs yet; nothing the runner can change.
    pytest.mark.filterwarnings(
        "ignore:make_current is deprecated; start the event loop first:DeprecationWarning:tornado"),
]

from py_engine_native_env.dask_rollouts import PolicyError, RolloutRunner  # noqa: E402

cloudpickle.register_pickle_by_value(sys.modules[__name__])  # workers cannot import this file
STEPS, ENVS = 12, 2
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("PEN_BUILD_DIR", os.path.join(ROOT, "build"))
SUMMARY = re.compile(r"^rounds=(\d+) workers=(\d+) envs=2 steps=(\d+) steps_per_s=\d+ "
                     r"episodes=(\d+) eval_equity=\d+\.\d\d time_s=\d+\.\d$")


class Cycle:
    """Actions 0..3 in turn; at call `at`, kills process `kill` (whichever worker gets there
    first), or, in the worker process `exit`, that process, or in the worker process `hang`,
    hangs there for a minute."""

    def __init__(self, at=0, kill=None, exit=None, hang=None):
        self.calls, self.at, self.kill, self.exit, self.hang = 0, at, kill, exit, hang

    def __call__(self, obs):
        self.calls += 1
        if self.calls == self.at and self.kill:
            try:
                os.kill(self.kill, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self.calls == self.at and self.exit == os.getpid():
            os.kill(os.getpid(), signal.SIGKILL)
        if self.calls == self.at and self.hang == os.getpid():
            time.sleep(60)
        return (np.arange(len(obs)) + self.calls) % 4


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def wait_gone(pids, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and any(map(running, pids)):
        time.sleep(0.1)
    return [pid for pid in pids if running(pid)]


def check_full(batch, names):
    assert sorted(batch.trajectories) == names
    for name, t in batch.trajectories.items():
        assert t["observations"].shape == (STEPS + 1, ENVS, 12)
        for key in ("actions", "rewards", "terminations", "autoreset", "equity"):
            assert t[key].shape == (STEPS, ENVS), key
        np.testing.assert_array_equal(t["actions"][:, 0], np.arange(1, STEPS + 1) % 4)
        assert batch.steps_per_s[name] > 0
    # Episodes of 6 steps: each environment ends one in any 12 steps and resets after it.
    assert all(t["terminations"].any(axis=0).all() for t in batch.trajectories.values())
    assert batch.steps == STEPS * ENVS * len(names)


def test_rounds_survive_a_dead_ui_and_a_dead_worker_process():
    seen_ui, worker_pids = set(), []
    with RolloutRunner(num_envs=ENVS, n_workers=2, seed=3, settings={"episode_length": 6},
                       round_timeout=120.0, worker_timeout=90.0) as runner:
        first = runner.rollout(Cycle(), STEPS)
        names = sorted(first.trajectories)
        assert len(names) == 2 and sorted(first.started) == names and not first.failed
        check_full(first, names)
        ui = runner.ui_pids()
        seen_ui.update(p for pids in ui.values() for p in pids)
        victim, other = names
        first_ui = ui[other]
        worker_pids = list(runner.client.run(os.getpid).values())

        # The victim's UI dies at the 5th step of the round.
        second = runner.rollout(Cycle(at=5, kill=ui[victim][0]), STEPS)
        assert list(second.failed) == [victim] and "UI went away" in second.failed[victim]
        assert list(second.trajectories) == [other] and second.steps == STEPS * ENVS
        np.testing.assert_array_equal(second.trajectories[other]["observations"][0],
                                      first.trajectories[other]["observations"][-1])

        third = runner.rollout(Cycle(), STEPS)
        assert third.started == [victim] and not third.failed
        check_full(third, names)
        killed, ui = ui[victim], runner.ui_pids()
        assert not set(ui[victim]) & seen_ui and not wait_gone(killed) and ui[other] == first_ui
        seen_ui.update(p for pids in ui.values() for p in pids)

        # The victim's worker process dies at the 5th step; the nanny starts it again.
        victim_pid = runner.client.run(os.getpid, workers=[runner.workers()[victim]])
        fourth = runner.rollout(Cycle(at=5, exit=list(victim_pid.values())[0]), STEPS)
        assert list(fourth.failed) == [victim] and "worker lost" in fourth.failed[victim]
        assert list(fourth.trajectories) == [other]
        assert not wait_gone(ui[victim]), "the dead worker's UI outlived it"

        fifth = runner.rollout(Cycle(), STEPS)
        assert fifth.started == [victim] and not fifth.failed
        check_full(fifth, names)
        seen_ui.update(p for pids in runner.ui_pids().values() for p in pids)
        worker_pids += runner.client.run(os.getpid).values()

        # The other worker hangs (a LocalCluster gives up a worker that dies twice in 15 s):
        # the round goes on without it; its process is ended and its nanny starts it again.
        runner.round_timeout = 5.0
        other_pid = runner.client.run(os.getpid, workers=[runner.workers()[other]])
        sixth = runner.rollout(Cycle(at=5, hang=list(other_pid.values())[0]), STEPS)
        assert list(sixth.failed) == [other] and "no answer within 5 s: its process was " \
            "ended" in sixth.failed[other] and list(sixth.trajectories) == [victim], sixth.failed
        runner.round_timeout = 120.0
        seventh = runner.rollout(Cycle(), STEPS)
        assert seventh.started == [other] and not seventh.failed
        check_full(seventh, names)
        seen_ui.update(p for pids in runner.ui_pids().values() for p in pids)
        worker_pids += runner.client.run(os.getpid).values()

        # examples/distributed.py against this cluster's scheduler (its own actors beside ours).
        example = subprocess.run(
            [sys.executable, os.path.join(ROOT, "examples", "distributed.py"), "--build",
             BUILD, "--scheduler", runner.cluster.scheduler_address, "--envs", "2",
             "--rounds", "2", "--steps", "15", "--episode-length", "10"],
            capture_output=True, text=True, timeout=240)
        assert example.returncode == 0, example.stderr
        lines = example.stdout.splitlines()
        assert [line.split()[1] for line in lines[:-1]] == ["1/2", "2/2", "eval"]
        summary = SUMMARY.match(lines[-1])
        assert summary and summary.group(1, 2, 3) == ("3", "2", str(3 * 2 * 2 * 15)), lines
        assert int(summary.group(4)) >= 2 * 2 * 2  # each round ends an episode per environment

        with pytest.raises(PolicyError, match="ZeroDivisionError"):
            runner.rollout(lambda obs: 1 // 0, STEPS)
    assert not wait_gone(seen_ui | set(worker_pids))
    assert runner.client.status == "closed"
    with pytest.raises(RuntimeError, match="closed"):
        runner.rollout(Cycle(), STEPS)


def test_the_package_works_without_dask():
    code = ("import sys; sys.modules['distributed'] = None\n"
            "import py_engine_native_env, py_engine_native_env.dask_rollouts as d\n"
            "try:\n    d.RolloutRunner()\nexcept ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0 and "apt install python3-distributed" in out.stdout, out.stderr
