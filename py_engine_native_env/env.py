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

from typing import TYPE_CHECKING, Any

import numpy as np

from ._backend import Backend, BackendOwner, check_render_mode
from .async_env import AsyncTradingEnv, Info, Obs
from .options import EnvOptions
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
    stop_loss, limit_offset, limit_ttl, reconnect_timeout, candles: a user's own candles). All of them may come as one
    EnvOptions (`options`); keywords given beside it replace its fields.

    A step whose replies are in when the engine's calls return (the usual case with a UI
    that answers quickly) runs no event loop at all.
    """

    metadata: Info = {"render_modes": ["human", "rgb_array"], "render_fps": 4}

    def __init__(self, render_mode: str | None = None, *, options: EnvOptions | None = None,
                 **keywords: Any) -> None:
        check_render_mode(render_mode)
        self.render_mode = render_mode
        self.options = EnvOptions.build(options, **keywords)
        self._backend = Backend(1, self.options, render_mode)
        try:
            self.env = AsyncTradingEnv(self._backend.engines[0], options=self.options,
                                       revive=self._backend.revive)
        except BaseException:
            self._backend.close()
            raise
        self.engine = self._backend.engines[0]
        self.url = self._backend.urls[0]
        self.action_space = self.env.action_space
        self.observation_space = self.env.observation_space

    def reset(self, *, seed: int | None = None,
              options: Info | None = None) -> tuple[Obs, Info]:
        """Starts an episode; the same seed chooses the same episode, whose simulation is then
        the same. Options: episode_index, episode_type ("train"/"test"), sync, entry."""
        super().reset(seed=seed)
        self._check_open()
        obs, info = self._backend.drive(self.env.reset(seed=seed, options=options))
        self.np_random = self.env.np_random
        return obs, info

    def step(self, action: Any) -> tuple[Obs, float, bool, bool, Info]:
        self._check_open()
        if not self.env.ready:
            raise RuntimeError("step() needs a reset() first: the episode has not started or "
                               "has ended")
        if not self.action_space.contains(action):
            raise ValueError(f"action {action!r} is outside the action space {self.action_space}")
        return self._backend.drive(self.env.step(action))

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
