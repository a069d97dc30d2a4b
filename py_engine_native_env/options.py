"""The options of an environment, in one object that travels through every constructor.

    options = EnvOptions(settings={"seed": 3}, window=16, max_steps=100)
    env = TradingEnv(options=options)           # the same as TradingEnv(settings=..., ...)
    envs = VectorTradingEnv(8, options=options, units=5)   # keywords override the object

The first group starts the UI and the engines (TradingEnv, VectorTradingEnv); the second shapes
the environment itself (AsyncTradingEnv too, which takes an engine of the caller's). Settings the
reference UI does not know, an episode type other than "train"/"test" and candles it cannot read
are refused here, before anything starts.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Callable, Mapping

from .candles import candle_matrix

SYNC_STYLES = ("auto", "deferred", "eager")
ENTRY_STYLES = ("ticket", "limit")
EPISODE_TYPES = ("train", "test")
# The settings the reference UI takes (ui/src/config.js, SETTING_NAMES; a test keeps them equal).
UI_SETTINGS = ("seed", "sync", "market", "episode_length", "train_episodes", "test_episodes",
               "initial_equity", "ohlc_window", "volatility", "trend_drift", "trend_switch",
               "revert_rate", "spread", "commission")


def check_choice(name: str, value: str, choices: tuple[str, ...]) -> None:
    if value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(choices)}; got {value!r}")


def check_settings(settings: Mapping[str, object]) -> None:
    unknown = [name for name in settings if name not in UI_SETTINGS]
    if unknown:
        raise ValueError(f"unknown setting{'s' if len(unknown) > 1 else ''} "
                         f"{', '.join(map(repr, unknown))}; the reference UI knows "
                         f"{', '.join(UI_SETTINGS)}")


@dataclasses.dataclass(frozen=True)
class EnvOptions:
    # -- the UI and the engines ------------------------------------------------------------
    ui: str = "headless"
    host: str = "127.0.0.1"
    port: int = 0
    settings: Mapping[str, object] | None = None
    node: str | None = None
    ui_dir: str | None = None
    connect_timeout: float | None = 60.0
    engine_wrapper: Callable[[Any], Any] | None = None
    page_screenshot: str | None = None
    # -- the environment -------------------------------------------------------------------
    config: dict[str, Any] | None = None
    window: int = 8
    units: int = 10
    sync: str = "auto"
    entry: str = "ticket"
    episode_type: str = "train"
    max_steps: int | None = None
    stop_loss: float | None = 0.01
    limit_offset: float = 0.001
    limit_ttl: int = 5
    reconnect_timeout: float = 30.0
    candles: Any = dataclasses.field(default=None, repr=False, compare=False)

    def __post_init__(self) -> None:
        check_choice("sync", self.sync, SYNC_STYLES)
        check_choice("entry", self.entry, ENTRY_STYLES)
        check_choice("episode_type", self.episode_type, EPISODE_TYPES)
        check_settings(self.settings or {})
        if self.candles is not None:  # read now: a bad file fails before anything starts
            object.__setattr__(self, "candles", candle_matrix(self.candles))

    @classmethod
    def build(cls, options: EnvOptions | None = None, *, environment_only: bool = False,
              **keywords: Any) -> EnvOptions:
        """`options` (or the defaults) with `keywords` replacing its fields; a keyword that
        names no field (with `environment_only`: no field of the environment) is a
        TypeError."""
        names = ENVIRONMENT_FIELDS if environment_only else ALL_FIELDS
        unknown = sorted(set(keywords) - names)
        if unknown:
            raise TypeError(f"unexpected keyword argument{'s' if len(unknown) > 1 else ''}: "
                            f"{', '.join(unknown)}")
        base = options if options is not None else cls()
        return dataclasses.replace(base, **keywords) if keywords else base


ALL_FIELDS = frozenset(f.name for f in dataclasses.fields(EnvOptions))
ENVIRONMENT_FIELDS = frozenset(
    name for name in ALL_FIELDS
    if name not in ("ui", "host", "port", "settings", "node", "ui_dir", "connect_timeout",
                    "engine_wrapper", "page_screenshot"))
