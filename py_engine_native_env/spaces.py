"""The spaces of the environments: Gymnasium's own when it is installed, else small NumPy-only
stand-ins with the part of their contract that environments and trainers use (`shape`,
`dtype`, `seed`, `sample`, `contains`, `in x`, `n`, `nvec`, `low`, `high`, `np_random`).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

class _Space:
    """Base of the stand-in spaces: a shape, a dtype and a seedable generator."""

    def __init__(self, shape: tuple[int, ...], dtype: Any, seed: int | None = None) -> None:
        self.shape = tuple(int(n) for n in shape)
        self.dtype = np.dtype(dtype)
        self._np_random: np.random.Generator | None = None
        if seed is not None:
            self.seed(seed)

    @property
    def np_random(self) -> np.random.Generator:
        if self._np_random is None:
            self.seed()
        assert self._np_random is not None
        return self._np_random

    def seed(self, seed: int | None = None) -> list[int]:
        sequence = np.random.SeedSequence(seed)
        self._np_random = np.random.Generator(np.random.PCG64(sequence))
        return [int(sequence.entropy)]  # type: ignore[arg-type]

    def contains(self, x: Any) -> bool:
        raise NotImplementedError

    def __contains__(self, x: Any) -> bool:
        return self.contains(x)

    def sample(self) -> Any:
        raise NotImplementedError

class _Discrete(_Space):
    """The integers start, ..., start + n - 1."""

    def __init__(self, n: int, seed: int | None = None, start: int = 0) -> None:
        if int(n) <= 0:
            raise ValueError("n (counts) have to be positive")
        self.n = np.int64(n)
        self.start = np.int64(start)
        super().__init__((), np.int64, seed)

    def sample(self) -> np.int64:
        return np.int64(self.start + self.np_random.integers(self.n))

    def contains(self, x: Any) -> bool:
        if isinstance(x, (int, np.integer)) and not isinstance(x, bool):
            value = int(x)
        elif (isinstance(x, np.ndarray) and x.shape == ()
              and np.issubdtype(x.dtype, np.integer)):
            value = int(x)
        else:
            return False
        return bool(self.start <= value < self.start + self.n)

    def __repr__(self) -> str:
        return f"Discrete({self.n})" if self.start == 0 else f"Discrete({self.n}, start={self.start})"

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, _Discrete) and self.n == other.n
                and self.start == other.start)

class _MultiDiscrete(_Space):
    """An array of Discrete values, element i in 0 .. nvec[i] - 1."""

    def __init__(self, nvec: Any, dtype: Any = np.int64, seed: int | None = None) -> None:
        self.nvec = np.asarray(nvec, dtype=dtype)
        if (self.nvec <= 0).any():
            raise ValueError("nvec (counts) have to be positive")
        super().__init__(self.nvec.shape, dtype, seed)

    def sample(self) -> NDArray[Any]:
        out: NDArray[Any] = (self.np_random.random(self.nvec.shape) * self.nvec).astype(self.dtype)
        return out

    def contains(self, x: Any) -> bool:
        if isinstance(x, (list, tuple)):
            x = np.asarray(x)
        return bool(isinstance(x, np.ndarray) and x.shape == self.shape
                    and np.issubdtype(x.dtype, np.integer)
                    and np.all((x >= 0) & (x < self.nvec)))

    def __repr__(self) -> str:
        return f"MultiDiscrete({self.nvec})"

class _Box(_Space):
    """Arrays of `shape` whose elements lie in [low, high] (bounds may be infinite)."""

    def __init__(self, low: Any, high: Any, shape: tuple[int, ...] | None = None,
                 dtype: Any = np.float32, seed: int | None = None) -> None:
        dtype = np.dtype(dtype)
        if shape is None:
            shape = np.broadcast(np.asarray(low), np.asarray(high)).shape
        self.low = np.broadcast_to(np.asarray(low, dtype=dtype), shape).copy()
        self.high = np.broadcast_to(np.asarray(high, dtype=dtype), shape).copy()
        if (self.low > self.high).any():
            raise ValueError("Box: low must not be above high")
        super().__init__(shape, dtype, seed)

    def sample(self) -> NDArray[Any]:
        low, high = self.low, self.high
        bounded_low, bounded_high = np.isfinite(low), np.isfinite(high)
        out = self.np_random.normal(size=self.shape)
        both = bounded_low & bounded_high
        out[both] = self.np_random.uniform(low[both], high[both])
        only_low = bounded_low & ~bounded_high
        out[only_low] = low[only_low] + self.np_random.exponential(size=int(only_low.sum()))
        only_high = ~bounded_low & bounded_high
        out[only_high] = high[only_high] - self.np_random.exponential(size=int(only_high.sum()))
        result: NDArray[Any] = out.astype(self.dtype)
        return result

    def contains(self, x: Any) -> bool:
        if not isinstance(x, np.ndarray):
            try:
                x = np.asarray(x, dtype=self.dtype)
            except (ValueError, TypeError):
                return False
        return bool(np.can_cast(x.dtype, self.dtype) and x.shape == self.shape
                    and np.all(x >= self.low) and np.all(x <= self.high))

    def __repr__(self) -> str:
        return f"Box({self.low.min()}, {self.high.max()}, {self.shape}, {self.dtype})"


if TYPE_CHECKING:
    gymnasium: Any = None
    Space, Discrete, MultiDiscrete, Box = _Space, _Discrete, _MultiDiscrete, _Box
    HAVE_GYMNASIUM = False
else:
    try:  # pragma: no cover - depends on the machine
        import gymnasium
        from gymnasium.spaces import Box, Discrete, MultiDiscrete, Space
        HAVE_GYMNASIUM = True
    except ImportError:
        gymnasium = None
        Space, Discrete, MultiDiscrete, Box = _Space, _Discrete, _MultiDiscrete, _Box
        HAVE_GYMNASIUM = False

__all__ = ["HAVE_GYMNASIUM", "Box", "Discrete", "MultiDiscrete", "Space", "gymnasium"]
