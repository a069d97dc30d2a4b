"""The synchronous trading environment with Gymnasium's API.

    env = TradingEnv()                        # its own engine (port 0) and headless UI
    obs, info = env.reset(seed=1)
    obs, reward, terminated, truncated, info = env.step(env.action_space.sample())
    env.close()                               # stops the UI, frees the port

It subclasses gymnasium.Env when Gymnasium is installed; without it, it keeps the same contract
with the NumPy stand-ins of py_engine_native_env.spaces. Observations, actions, rewards and the
ends of an episode are those of AsyncTradingEnv, whose coroutines this class runs on an event
loop of its own.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Mapping

import numpy as np

from ._backend import Backend, BackendOwner, check_render_mode
from .async_env import AsyncTradingEnv, Info, Obs
from .spaces import HAVE_GYMNASIUM, gymnasium

class _FallbackEnv:
    """What gymnasium.Env gives: np_random seeded by reset(seed=), unwrapped, context use."""

    metadata: Info = {}
    render_mode: str | None = None
    spec = None
    _np_random: np.random.Generator | None = None

    @property
    def np_random(self) -> np.random.Generator:
        if self._np_random is None:
            self._np_random = np.random.default_rng()
        return self._np_random

    @np_random.setter
    def np_random(self, value: np.random.Generator) -> None:
        self._np_random = value

    def reset(self, *, seed: int | None = None, options: Info | None = None) -> Any:
        if seed is not None:
            self._np_random = np.random.default_rng(seed)

    @property
    def unwrapped(self) -> Any:
        return self

    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        pass


if TYPE_CHECKING or not HAVE_GYMNASIUM:
    _EnvBase = _FallbackEnv
else:  # pragma: no cover - depends on the machine
    _EnvBase = gymnasium.Env


class TradingEnv(BackendOwner, _EnvBase):
    """Trades the reference UI's simulation; see AsyncTradingEnv for the observation (float64,
    `window` + 4 values), the four actions (0 hold, 1 buy, 2 sell, 3 close all) and the reward
    (change of equity).

    render_mode: None (the UI runs headless under Node), "human" (the UI is the page in
    Chromium, shown) or "rgb_array" (the page in headless Chromium; render() returns its
    screenshot as a uint8 array (height, width, 3); needs Pillow); with those two,
    `page_screenshot` names a PNG that the page's launcher saves during a training episode with
    trades (or when the environment closes). ui="none" starts no UI and
    waits for one to connect to `url` (give `port` then). `settings` go to the UI started here
    (seed, episode_length, train_episodes, test_episodes, initial_equity, ohlc_window, sync).
    Other keywords go to AsyncTradingEnv (window, units, sync, entry, episode_type, max_steps,
    stop_loss, limit_offset, limit_ttl, reconnect_timeout).
    """

    metadata: Info = {"render_modes": ["human", "rgb_array"], "render_fps": 4}

    def __init__(self, render_mode: str | None = None, *, ui: str = "headless",
                 host: str = "127.0.0.1", port: int = 0,
                 settings: Mapping[str, object] | None = None, node: str | None = None,
                 ui_dir: str | None = None, connect_timeout: float | None = 60.0,
                 engine_wrapper: Callable[[Any], Any] | None = None,
                 page_screenshot: str | None = None, **env_kwargs: Any) -> None:
        check_render_mode(render_mode)
        self.render_mode = render_mode
        self._backend = Backend(1, host=host, port=port, ui=ui, render_mode=render_mode,
                                settings=settings, node=node, ui_dir=ui_dir,
                                connect_timeout=connect_timeout,
                                engine_wrapper=engine_wrapper,
                                page_screenshot=page_screenshot)
        try:
            self.env = AsyncTradingEnv(self._backend.engines[0], **env_kwargs)
        except BaseException:
            self._backend.close()
            raise
        self.engine = self._backend.engines[0]
        self.url = self._backend.urls[0]
        self.action_space = self.env.action_space
        self.observation_space = self.env.observation_space
        self._ready = False

    def reset(self, *, seed: int | None = None,
              options: Info | None = None) -> tuple[Obs, Info]:
        """Starts an episode; the same seed chooses the same episode, whose simulation is then
        the same. Options: episode_index, episode_type ("train"/"test"), sync, entry."""
        super().reset(seed=seed)
        self._check_open()
        self._ready = False
        obs, info = self._backend.run(self.env.reset(seed=seed, options=options))
        self.np_random = self.env.np_random
        self._ready = True
        return obs, info

    def step(self, action: Any) -> tuple[Obs, float, bool, bool, Info]:
        self._check_open()
        if not self._ready:
            raise RuntimeError("step() needs a reset() first: the episode has not started or "
                               "has ended")
        if not self.action_space.contains(action):
            raise ValueError(f"action {action!r} is outside the action space {self.action_space}")
        result = self._backend.run(self.env.step(action))
        self._ready = not (result[2] or result[3])
        return result

    def render(self) -> Obs | None:
        """None for render_mode None and "human" (the page draws itself); the page's pixels
        for "rgb_array"."""
        if self.render_mode != "rgb_array":
            return None
        self._check_open()
        assert self._backend.browser is not None
        return screenshot_array(self._backend.browser)

    def close(self) -> None:
        """Stops the UI process(es), closes the engine (its port is free again). Idempotent."""
        if hasattr(self, "_backend"):
            self._backend.close()
        self._ready = False



def screenshot_array(browser: Any) -> Obs:
    import os
    import tempfile
    try:
        from PIL import Image  # type: ignore[import]
    except ImportError as e:
        raise RuntimeError("render_mode 'rgb_array' needs Pillow to read the page's screenshot "
                           "(Debian: apt install python3-pil)") from e
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "page.png")
        browser.screenshot(path)
        with Image.open(path) as image:
            return np.asarray(image.convert("RGB"))
