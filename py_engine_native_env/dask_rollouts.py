"""Rollouts on a Dask cluster: one vector environment on every worker, stepped by a policy that
the driver sends out each round, trajectories back as NumPy arrays.

    from py_engine_native_env.dask_rollouts import RolloutRunner

    with RolloutRunner(num_envs=4) as runner:       # a LocalCluster of this machine's cores
        batch = runner.rollout(policy, steps=256)   # policy: obs (N, D) -> actions (N,)
        batch.trajectories["0"]["rewards"]          # (256, 4) float64, per worker name
        batch.steps_per_s, batch.failed             # {worker: steps/s}, {worker: why}

    RolloutRunner("tcp://10.0.0.1:8786")            # the workers of a running cluster
    RolloutRunner(client)                           # or those of a distributed.Client

Dask does the placing and the messaging: each worker holds one Dask actor (RolloutWorker) that
owns a VectorTradingEnv of `num_envs` engines and the one headless Node process serving them.
Every worker needs py_engine_native, this package, NumPy and Node (the UI ships in the
package). The runner keeps no state on the workers but the actors; it needs no scheduler
round trip per round beyond one look at the cluster's membership, and, with a client made with
direct_to_workers=True (as the runner makes its own), the policy and the trajectories go
straight between this process and the workers.

Each round, the policy is pickled once (cloudpickle, so lambdas and classes of the driver's
script travel by value) and the same bytes go to every worker; every worker unpickles a copy
of its own, so a policy that draws random numbers must make its generator on the worker (the
copies would otherwise draw the same numbers). Episodes run on across rounds; each worker's
trajectory is a dict of arrays over the round's T steps and its N environments:

    observations  float64 (T + 1, N, D)  observations[t] is what actions[t] answered;
                                         observations[T] starts the next round
    actions       int64   (T, N)
    rewards       float64 (T, N)
    terminations  bool    (T, N)
    truncations   bool    (T, N)
    autoreset     bool    (T, N)  the step reset the environment (its episode had ended): its
                                  action was ignored and observations[t + 1] begins an episode
    equity        float64 (T, N)  the account's equity after the step (NaN where unknown)

A worker whose UI process dies, whose environments fail or whose process goes away is named in
the round's `failed` with the reason; the trajectories of the other workers are kept, and the
next round creates the failed worker's environments anew (on a replacement worker process of
the same name, when the cluster restarts it). A policy that raises fails the round with
PolicyError, since every worker would fail the same way.
"""

from __future__ import annotations

import logging
import os
import pickle
import signal
import time
import traceback
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping

import numpy as np
from numpy.typing import NDArray

Policy = Callable[[NDArray[np.float64]], Any]
Arrays = dict[str, NDArray[Any]]

class PolicyError(RuntimeError):
    """The policy raised, or gave back something that is not a batch of actions."""


class _UILost(Exception):
    """A step found an environment's UI gone."""


def _seed(*entropy: int) -> int:
    return int(np.random.SeedSequence(list(entropy)).generate_state(1)[0] % 2**31)


class RolloutWorker:
    """The Dask actor on one worker: its environments, created on the first round after
    construction or after a failure, and stepped by `rollout`. Dask runs its methods one at a
    time on one thread of the worker, which therefore owns the engines' event loop."""

    def __init__(self, name: str, num_envs: int, seed: int,
                 env_kwargs: Mapping[str, Any]) -> None:
        self.name = name
        self.num_envs = num_envs
        self.seed = seed
        self.env_kwargs = dict(env_kwargs)
        self.env: Any = None
        self.incarnation = 0
        self._obs: NDArray[np.float64] = np.empty((0, 0))
        self._done = np.zeros(num_envs, dtype=bool)

    def rollout(self, policy_bytes: bytes, steps: int) -> dict[str, Any]:
        setup = 0.0
        try:
            if self.env is None:
                began = time.perf_counter()
                self._start()
                setup = time.perf_counter() - began
            policy = pickle.loads(policy_bytes)
        except Exception as e:
            self.close()
            return {"status": "failed", "error": f"{type(e).__name__}: {e}"}
        n, width = self._obs.shape
        env: Any = self.env
        obs = np.empty((steps + 1, n, width))
        out = {"observations": obs, "actions": np.zeros((steps, n), dtype=np.int64),
               "rewards": np.zeros((steps, n)), "terminations": np.zeros((steps, n), dtype=bool),
               "truncations": np.zeros((steps, n), dtype=bool),
               "autoreset": np.zeros((steps, n), dtype=bool), "equity": np.full((steps, n), np.nan)}
        obs[0] = self._obs
        began = time.perf_counter()
        for t in range(steps):
            try:
                actions = np.asarray(policy(obs[t]))
                if actions.shape != (n,) or not np.issubdtype(actions.dtype, np.integer):
                    raise TypeError(f"the policy must give an integer array of shape ({n},) "
                                    f"for observations of shape {obs[t].shape}; got "
                                    f"{actions.dtype} {actions.shape}")
            except Exception:
                self._obs = obs[t].copy()
                return {"status": "policy_error", "error": traceback.format_exc()}
            try:
                o, r, term, trunc, infos = env.step(actions)
                lost = infos.get("_ui_lost")
                if lost is not None and lost.any():
                    raise _UILost(infos["ui_lost"][lost][0])
            except Exception as e:
                reason = self._reason(e)
                self.close()
                return {"status": "failed", "error": reason}
            obs[t + 1] = o
            out["actions"][t], out["rewards"][t] = actions, r
            out["terminations"][t], out["truncations"][t] = term, trunc
            out["autoreset"][t] = self._done
            if "equity" in infos:
                out["equity"][t] = np.where(infos["_equity"], infos["equity"], np.nan)
            self._done = term | trunc
        elapsed = time.perf_counter() - began
        self._obs = obs[steps].copy()
        return {"status": "ok", "trajectory": out, "step_time": elapsed, "setup_time": setup}

    def ui_pids(self) -> list[int]:
        """Process ids of the UI processes of the current environments (none when closed)."""
        return list(self.env.ui_pids) if self.env is not None else []

    def close(self) -> None:
        """Stops the UI and closes the engines; the next rollout creates them again. (A worker
        process that ends without this takes its UI with it: the UI ends with its stdin.)"""
        env, self.env = self.env, None
        if env is not None:
            env.close()

    def _start(self) -> None:
        from .vector import VectorTradingEnv

        self.incarnation += 1
        seed = _seed(self.seed, self.incarnation)
        kwargs = dict(self.env_kwargs)
        kwargs["settings"] = {**(kwargs.get("settings") or {}), "seed": seed}
        kwargs.setdefault("reconnect_timeout", 1.0)  # a UI of ours that went never comes back
        self.env = VectorTradingEnv(self.num_envs, **kwargs)
        self._obs, _ = self.env.reset(seed=seed)
        self._done = np.zeros(self.num_envs, dtype=bool)

    def _reason(self, error: Exception) -> str:
        """Why the environments failed: the UI process's end when it has ended."""
        backend = getattr(self.env, "_backend", None)
        failure = backend.ui_failure() if backend is not None else None
        message = str(error) if isinstance(error, _UILost) else f"{type(error).__name__}: {error}"
        if failure or isinstance(error, _UILost):
            return f"its UI went away ({failure or 'the connection dropped'}): {message}"
        return message


@dataclass
class RolloutRound:
    """One round's result. Workers are named as the cluster names them (str)."""

    index: int
    steps_per_round: int
    trajectories: dict[str, Arrays] = field(default_factory=dict)
    step_time: dict[str, float] = field(default_factory=dict)
    setup_time: dict[str, float] = field(default_factory=dict)
    failed: dict[str, str] = field(default_factory=dict)
    started: list[str] = field(default_factory=list)
    wall_time: float = 0.0

    @property
    def steps(self) -> int:
        """Environment steps collected (kept trajectories only)."""
        return sum(t["actions"].size for t in self.trajectories.values())

    @property
    def steps_per_s(self) -> dict[str, float]:
        """Each worker's steps over its stepping time (policy calls included)."""
        return {name: self.trajectories[name]["actions"].size / max(seconds, 1e-12)
                for name, seconds in self.step_time.items()}

    @property
    def overhead(self) -> float:
        """What the runner adds: the round's wall time over the busiest worker's time
        (creating environments and stepping), less one; NaN when no worker delivered."""
        busy = [self.step_time[n] + self.setup_time[n] for n in self.step_time]
        return self.wall_time / max(busy) - 1.0 if busy else float("nan")

    def transitions(self) -> Arrays:
        """Every worker's steps as flat arrays (obs, actions, rewards, next_obs, terminations,
        truncations, equity), worker by worker and step by step, without the autoreset steps,
        whose actions did nothing."""
        parts: dict[str, list[NDArray[Any]]] = {k: [] for k in (
            "obs", "actions", "rewards", "next_obs", "terminations", "truncations", "equity")}
        for t in self.trajectories.values():
            keep = ~t["autoreset"]
            obs = t["observations"]
            parts["obs"].append(obs[:-1][keep])
            parts["next_obs"].append(obs[1:][keep])
            for key in ("actions", "rewards", "terminations", "truncations", "equity"):
                parts[key].append(t[key][keep])
        return {k: np.concatenate(v) if v else np.empty(0) for k, v in parts.items()}


def _end_process() -> None:
    os.kill(os.getpid(), signal.SIGKILL)  # as a crash would: the nanny starts a new one


class _Failed:
    def __init__(self, error: Exception) -> None:
        self.error = error

    def done(self) -> bool:
        return True

    def result(self, timeout: float | None = None) -> Any:
        raise self.error


@dataclass
class _Slot:
    address: str
    future: Any
    actor: Any


def _distributed() -> Any:
    try:
        import distributed
    except ImportError as e:
        raise ImportError("rollouts on a cluster need Dask's distributed scheduler (Debian: apt "
                          "install python3-distributed python3-dask)") from e
    return distributed


class RolloutRunner:
    """One VectorTradingEnv of `num_envs` environments on every worker of a Dask cluster.

    client: a distributed.Client, a scheduler address ("tcp://HOST:8786"), or None for a
    LocalCluster of `n_workers` worker processes (default: one per core) on 127.0.0.1 with no
    dashboard. `seed` seeds every worker's environments differently (and anew each time they
    are recreated). `round_timeout` bounds a round; a worker that has not answered by then
    counts as failed, and its nanny starts its process anew. `worker_timeout` is how long a round waits for the cluster to regain the
    workers it had (a restarted worker process) before going on without them. Other keywords go
    to VectorTradingEnv on every worker (settings, window, sync, entry, max_steps, ...).
    """

    def __init__(self, client: Any = None, *, num_envs: int = 4, n_workers: int | None = None,
                 seed: int = 0, round_timeout: float = 600.0, worker_timeout: float = 60.0,
                 **env_kwargs: Any) -> None:
        distributed = _distributed()
        if int(num_envs) < 1:
            raise ValueError(f"num_envs must be at least 1; got {num_envs!r}")
        self.num_envs = int(num_envs)
        self.seed = seed
        self.round_timeout = round_timeout
        self.worker_timeout = worker_timeout
        self.env_kwargs = env_kwargs
        self.cluster: Any = None
        self._own_client = not isinstance(client, distributed.Client)
        if client is None:
            # Dask's HTTP servers (metrics; the dashboard needs Bokeh) start whatever the
            # dashboard setting says: on 127.0.0.1 with them, and without the dashboard.
            self.cluster = distributed.LocalCluster(
                n_workers=n_workers or os.cpu_count() or 1, threads_per_worker=1,
                processes=True, host="127.0.0.1", dashboard_address=None,
                scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"},
                worker_dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR)
            client = self.cluster
        try:
            self.client = client if not self._own_client else distributed.Client(
                client, direct_to_workers=True, set_as_default=False)
            self.client.wait_for_workers(1, timeout=worker_timeout)
        except BaseException:
            if self.cluster is not None:
                self.cluster.close()
            raise
        self._slots: dict[str, _Slot] = {}
        self._index: dict[str, int] = {}  # keeps each worker name's seeds apart
        self._actors_made: dict[str, int] = {}
        self._expected = 0
        self.rounds = 0
        self.closed = False

    def rollout(self, policy: Policy, steps: int) -> RolloutRound:
        """Every worker steps its environments `steps` times with `policy`; returns the round."""
        if self.closed:
            raise RuntimeError("the runner is closed")
        if int(steps) < 1:
            raise ValueError(f"steps must be at least 1; got {steps!r}")
        import cloudpickle  # type: ignore[import]

        began = time.perf_counter()
        deadline = time.monotonic() + self.round_timeout
        self.rounds += 1
        result = RolloutRound(self.rounds, int(steps))
        blob = cloudpickle.dumps(policy)
        self._place(result)
        calls = {name: self._call(name, "rollout", blob, int(steps)) for name in self._slots}
        policy_errors: list[str] = []
        gone: list[str] = []
        for name, call in calls.items():
            try:
                # An answer already here is taken even when the time is up.
                out = call.result(timeout=None if call.done() else
                                  max(deadline - time.monotonic(), 0.001))
            except TimeoutError:
                gone.append(self._slots[name].address)
                result.failed[name] = (f"no answer within {self.round_timeout:g} s: "
                                       f"{self._restart(name)}")
                continue
            except Exception as e:  # the worker process went away
                gone.append(self._slots[name].address)
                result.failed[name] = f"worker lost: {type(e).__name__}: {e}"
                self._drop(name)
                continue
            if out["status"] == "ok":
                result.trajectories[name] = out["trajectory"]
                result.step_time[name] = out["step_time"]
                result.setup_time[name] = out["setup_time"]
                if out["setup_time"]:
                    result.started.append(name)
            elif out["status"] == "policy_error":
                policy_errors.append(f"on worker {name}: {out['error']}")
            else:
                result.failed[name] = out["error"]
        result.wall_time = time.perf_counter() - began
        if gone:
            self._await_departure(gone)
        if policy_errors:
            raise PolicyError("the policy failed " + policy_errors[0])
        return result

    def ui_pids(self) -> dict[str, list[int]]:
        """The UI process ids of every worker's current environments."""
        calls = {name: self._call(name, "ui_pids") for name in self._slots}
        return {name: call.result(timeout=self.round_timeout) for name, call in calls.items()}

    def workers(self) -> dict[str, str]:
        """Worker name -> address, for the workers now holding environments."""
        return {name: slot.address for name, slot in self._slots.items()}

    def close(self) -> None:
        """Closes every worker's environments (UI processes stopped, engines closed), releases
        the actors, and closes the client and the LocalCluster when the runner made them.
        Idempotent."""
        if self.closed:
            return
        self.closed = True
        try:
            calls = [self._call(name, "close") for name in self._slots]
            for call in calls:
                try:
                    call.result(timeout=60)
                except Exception:  # its worker is gone, and its UI with it
                    pass
            self._slots.clear()
        finally:
            if self._own_client:
                self.client.close()
            if self.cluster is not None:
                self.cluster.close()

    def __enter__(self) -> RolloutRunner:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- internals -----------------------------------------------------------------------

    def _place(self, result: RolloutRound) -> None:
        """Looks at the cluster (one scheduler call) and puts an actor on every worker that
        lacks one; a worker that left is reported and forgotten."""
        workers = self._members()
        if len(workers) < self._expected:  # a worker process being restarted: wait a while
            try:
                self.client.wait_for_workers(self._expected, timeout=self.worker_timeout)
            except Exception:
                pass
            workers = self._members()
        self._expected = len(workers)
        for name, slot in list(self._slots.items()):
            if workers.get(name) != slot.address:
                result.failed[name] = "worker lost: it left the cluster"
                self._drop(name)
        new = {}
        for name, address in workers.items():
            if name in self._slots:
                continue
            index = self._index.setdefault(name, len(self._index))
            made = self._actors_made.get(name, 0)
            self._actors_made[name] = made + 1
            new[name] = (address, self.client.submit(
                RolloutWorker, name, self.num_envs, _seed(self.seed, index, made),
                self.env_kwargs, actor=True, workers=[address], allow_other_workers=False,
                pure=False))
        for name, (address, future) in new.items():
            try:
                with self.client.as_current():  # the actor handle takes the current client
                    actor = future.result(timeout=self.round_timeout)
            except Exception as e:
                result.failed[name] = f"no actor: {type(e).__name__}: {e}"
                continue
            self._slots[name] = _Slot(address, future, actor)

    def _call(self, name: str, method: str, *args: Any) -> Any:
        """Starts an actor call; its future (one that raises when the worker is known to be
        gone already)."""
        try:
            return getattr(self._slots[name].actor, method)(*args)
        except Exception as e:
            return _Failed(e)

    def _restart(self, name: str) -> str:
        """Ends the process of a worker that does not answer (its actor's thread cannot be
        interrupted); its nanny, when it has one, starts it anew, and its UI ends with it."""
        address = self._slots[name].address
        self._drop(name)
        out = self.client.run(_end_process, workers=[address], on_error="return")
        error = out.get(address)  # the connection that dropped as the process ended
        if not isinstance(error, OSError):
            return f"could not end its process ({type(error).__name__}: {error})"
        return "its process was ended"

    def _await_departure(self, addresses: list[str]) -> None:
        """Waits (up to worker_timeout) until the scheduler has seen these workers go, so that
        no actor is put on them again."""
        deadline = time.monotonic() + self.worker_timeout
        while time.monotonic() < deadline and set(addresses) & set(self._members().values()):
            time.sleep(0.1)

    def _members(self) -> dict[str, str]:
        info = self.client.scheduler_info()["workers"]
        return dict(sorted((str(w.get("name", address)), address) for address, w in info.items()))

    def _drop(self, name: str) -> None:
        slot = self._slots.pop(name, None)
        if slot is not None:
            slot.future.release()


__all__ = ["PolicyError", "RolloutRound", "RolloutRunner", "RolloutWorker"]
