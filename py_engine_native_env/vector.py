"""N trading environments stepped together, with Gymnasium's vector API.

    envs = VectorTradingEnv(8)                # 8 engines, one headless Node process for all
    obs, infos = envs.reset(seed=1)           # obs: float64 (8, window + 4)
    obs, rewards, terminations, truncations, infos = envs.step(envs.action_space.sample())
    envs.close()

All N steps run concurrently on one event loop. Autoreset is Gymnasium's "next step" mode: the
step after an environment's episode ended resets it instead, ignoring its action and returning
the first observation of the new episode with reward 0, terminated and truncated False, and the
reset's info. infos is Gymnasium's dict of per-environment values: infos[key] is an array of N
(object arrays for values that are not numbers) and infos["_" + key] marks the environments that
set it.

A UI that goes away ends only the episodes of the environments it served, as truncated with
info["ui_lost"]. While such an environment waits for its UI to come back, its autoreset step
returns its last observation, reward 0 and truncated True again (info["ui_lost"] and
info["waiting_for_ui"]), never holding up the others; after `reconnect_timeout` seconds
without a UI it raises RuntimeError.
"""

from __future__ import annotations

import time
from typing import TYPE_CHECKING, Any, Callable, Mapping, Sequence

import numpy as np

from ._backend import Backend, BackendOwner, check_render_mode
from .async_env import AsyncTradingEnv, Info, Obs
from .env import screenshot_array
from .spaces import HAVE_GYMNASIUM, Box, MultiDiscrete, gymnasium

class _FallbackVectorEnv:
    """What gymnasium.vector.VectorEnv gives: unwrapped, context use."""

    metadata: Info = {}
    render_mode: str | None = None

    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self, **kwargs: Any) -> None:
        pass

    @property
    def unwrapped(self) -> Any:
        return self


if TYPE_CHECKING or not HAVE_GYMNASIUM:
    _VectorBase = _FallbackVectorEnv
    _METADATA: Info = {"render_modes": ["human", "rgb_array"], "autoreset_mode": "NextStep"}
else:  # pragma: no cover - depends on the machine
    _VectorBase = gymnasium.vector.VectorEnv
    _METADATA = {"render_modes": ["human", "rgb_array"],
                 "autoreset_mode": gymnasium.vector.AutoresetMode.NEXT_STEP}

class VectorTradingEnv(BackendOwner, _VectorBase):
    """`num_envs` TradingEnv-like environments on one event loop; keywords as for TradingEnv.
    render_mode "human" shows environment 0 as the page in Chromium ("rgb_array": in headless
    Chromium, render() returns its pixels); the others stay headless under Node.
    """

    metadata: Info = _METADATA

    def __init__(self, num_envs: int = 8, render_mode: str | None = None, *,
                 ui: str = "headless", host: str = "127.0.0.1", port: int = 0,
                 settings: Mapping[str, object] | None = None, node: str | None = None,
                 ui_dir: str | None = None, connect_timeout: float | None = 60.0,
                 engine_wrapper: Callable[[Any], Any] | None = None,
                 page_screenshot: str | None = None, **env_kwargs: Any) -> None:
        if int(num_envs) < 1:
            raise ValueError(f"num_envs must be at least 1; got {num_envs!r}")
        check_render_mode(render_mode)
        self.num_envs = int(num_envs)
        self.render_mode = render_mode
        self._backend = Backend(self.num_envs, host=host, port=port, ui=ui,
                                render_mode=render_mode, settings=settings, node=node,
                                ui_dir=ui_dir, connect_timeout=connect_timeout,
                                engine_wrapper=engine_wrapper,
                                page_screenshot=page_screenshot)
        try:
            self.envs = [AsyncTradingEnv(engine, **env_kwargs) for engine in self._backend.engines]
        except BaseException:
            self._backend.close()
            raise
        self.urls = self._backend.urls
        self.single_action_space = self.envs[0].action_space
        self.single_observation_space = self.envs[0].observation_space
        self.action_space = MultiDiscrete(np.full(self.num_envs, self.single_action_space.n))
        low = self.single_observation_space.low
        high = self.single_observation_space.high
        self.observation_space = Box(np.broadcast_to(low, (self.num_envs, *low.shape)),
                                     np.broadcast_to(high, (self.num_envs, *high.shape)),
                                     dtype=np.float64)
        self._autoreset = np.zeros(self.num_envs, dtype=bool)
        self._lost_since: list[float | None] = [None] * self.num_envs
        self._obs = np.zeros(self.observation_space.shape, dtype=np.float64)
        self._ready = False

    # -- Gymnasium's vector API ----------------------------------------------------------

    def reset(self, *, seed: int | Sequence[int | None] | None = None,
              options: Info | None = None) -> tuple[Obs, Info]:
        """Resets every environment; an int seed gives environment i the seed seed + i."""
        self._check_open()
        if seed is None or isinstance(seed, (int, np.integer)):
            seeds = [None if seed is None else int(seed) + i for i in range(self.num_envs)]
        else:
            seeds = list(seed)
            if len(seeds) != self.num_envs:
                raise ValueError(f"{len(seeds)} seeds for {self.num_envs} environments")
        if seed is not None:
            self.action_space.seed(seeds[0])
        self._ready = False
        results = self._backend.gather(
            env.reset(seed=s, options=options) for env, s in zip(self.envs, seeds))
        self._autoreset[:] = False
        self._lost_since = [None] * self.num_envs
        infos: Info = {}
        for i, (obs, info) in enumerate(results):
            self._obs[i] = obs
            infos = self._add_info(infos, info, i)
        self._ready = True
        return self._obs.copy(), infos

    def step(self, actions: Any) -> tuple[Obs, Obs, Obs, Obs,
                                          Info]:
        self._check_open()
        if not self._ready:
            raise RuntimeError("step() needs a reset() first")
        actions = np.asarray(actions)
        if not self.action_space.contains(actions):
            raise ValueError(f"actions {actions!r} are outside the action space "
                             f"{self.action_space}")
        results = self._backend.gather(
            self._step_one(i, int(a)) for i, a in enumerate(actions))
        rewards = np.zeros(self.num_envs, dtype=np.float64)
        terminations = np.zeros(self.num_envs, dtype=bool)
        truncations = np.zeros(self.num_envs, dtype=bool)
        infos: Info = {}
        for i, (obs, reward, terminated, truncated, info) in enumerate(results):
            self._obs[i] = obs
            rewards[i], terminations[i], truncations[i] = reward, terminated, truncated
            infos = self._add_info(infos, info, i)
        self._autoreset = terminations | truncations
        return self._obs.copy(), rewards, terminations, truncations, infos

    def render(self) -> Obs | None:
        """Environment 0's page as a uint8 array (height, width, 3) for "rgb_array"; None
        otherwise."""
        if self.render_mode != "rgb_array":
            return None
        self._check_open()
        return screenshot_array(self._backend.browser)

    def close(self, **kwargs: Any) -> None:
        """Stops the UI process, closes every engine (their ports are free again). Idempotent."""
        if hasattr(self, "_backend"):
            self._backend.close()
        self._ready = False

    # -- internals -----------------------------------------------------------------------

    async def _step_one(self, i: int, action: int) -> tuple[Obs, float, bool, bool, Info]:
        env = self.envs[i]
        if not self._autoreset[i]:
            result = await env.step(action)
            if "ui_lost" in result[4]:
                self._lost_since[i] = time.monotonic()
            return result
        if env.lost is not None and not await env.ui_connected():
            waited = time.monotonic() - (self._lost_since[i] or time.monotonic())
            if waited > env.reconnect_timeout:
                raise RuntimeError(f"environment {i}: no UI connected again within "
                                   f"{env.reconnect_timeout:g} s ({env.lost})")
            return self._obs[i].copy(), 0.0, False, True, {"ui_lost": env.lost,
                                                            "waiting_for_ui": True}
        self._lost_since[i] = None
        obs, info = await env.reset()
        return obs, 0.0, False, False, info

    def _add_info(self, infos: Info, info: Info, i: int) -> Info:
        """Gymnasium's layout: infos[key][i] = info[key], infos["_" + key][i] = True."""
        n = self.num_envs
        for key, value in info.items():
            if isinstance(value, dict):
                infos[key] = self._add_info(infos.get(key, {}), value, i)
            else:
                if key not in infos:
                    if isinstance(value, (bool, np.bool_)):
                        infos[key] = np.zeros(n, dtype=bool)
                    elif isinstance(value, (int, np.integer)):
                        infos[key] = np.zeros(n, dtype=np.int64)
                    elif isinstance(value, (float, np.floating)):
                        infos[key] = np.zeros(n, dtype=np.float64)
                    else:
                        infos[key] = np.full(n, None, dtype=object)
                infos[key][i] = value
            infos.setdefault("_" + key, np.zeros(n, dtype=bool))[i] = True
        return infos


