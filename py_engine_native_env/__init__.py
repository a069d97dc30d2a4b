"""Reinforcement-learning environments over py_engine_native and its reference UI.

- TradingEnv: one environment with Gymnasium's synchronous API; it owns its engine (port 0)
  and starts the reference UI itself (headless under Node, or the page in Chromium).
- VectorTradingEnv: N of them stepped concurrently on one event loop, with Gymnasium's vector
  API (batched arrays, next-step autoreset), all N served by one headless Node process.
- AsyncTradingEnv: the same environment as coroutines, on an engine of the caller's.

Gymnasium is used when it is installed (the environments then subclass gymnasium.Env and
gymnasium.vector.VectorEnv and use gymnasium.spaces); without it, NumPy stand-ins keep the
same contract. The reference UI ships inside this package; Node.js 18 or later runs it.
"""

from .async_env import AsyncTradingEnv, observation_space
from .env import TradingEnv
from .options import EnvOptions
from .spaces import HAVE_GYMNASIUM, Box, Discrete, MultiDiscrete
from .ui import BrowserUI, NodeNotFoundError, UIProcess, start_headless, ui_dir
from .vector import VectorTradingEnv

__all__ = [
    "AsyncTradingEnv", "Box", "BrowserUI", "Discrete", "EnvOptions", "HAVE_GYMNASIUM",
    "MultiDiscrete",
    "NodeNotFoundError", "TradingEnv", "UIProcess", "VectorTradingEnv", "observation_space",
    "start_headless", "ui_dir",
]
