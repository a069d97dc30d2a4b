"""A user's own candles as the matrix the UI's `init_candles` reads.

    matrix = candle_matrix("prices.csv")      # or a NumPy array, or a pandas DataFrame

Accepted:
- a NumPy array (or anything np.asarray takes) of rows x columns in one of the UI's layouts:
  4 columns open, high, low, close; 5 columns open, high, low, close, volume; 6 or more
  time, open, high, low, close, volume (further columns ignored);
- a CSV file path: with a header row, the columns named open, high, low, close (and volume,
  time when present; any case, in any order, other columns ignored) are taken in that layout;
  without one (a first row of numbers), its columns are read as an array;
- a pandas DataFrame: its columns by those names, as a CSV's.
At least 2 rows, every value a finite number.
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np
from numpy.typing import NDArray

PRICE_COLUMNS = ("open", "high", "low", "close")


def candle_matrix(candles: Any) -> NDArray[np.float64]:
    """`candles` (array, CSV path or DataFrame) as a float64 matrix in one of the UI's layouts;
    ValueError naming what is wrong."""
    if isinstance(candles, (str, os.PathLike)):
        matrix = _from_csv(os.fspath(candles))
    elif hasattr(candles, "columns") and hasattr(candles, "to_numpy"):  # a pandas DataFrame
        names = [str(c).lower() for c in candles.columns]
        _check_columns(names, "the DataFrame")
        wanted = _layout(names)
        data = candles.iloc[:, [names.index(n) for n in wanted]]
        matrix = _with_volume(wanted, data.to_numpy(dtype=np.float64, na_value=np.nan))
    else:
        matrix = np.asarray(candles, dtype=np.float64)
    if matrix.ndim != 2 or matrix.shape[0] < 2 or matrix.shape[1] < 4:
        raise ValueError(f"candles must be a matrix of at least 2 rows and 4 columns "
                         f"(open, high, low, close[, volume] or time, open, high, low, close, "
                         f"volume); got shape {matrix.shape}")
    if not np.isfinite(matrix).all():
        row = int(np.flatnonzero(~np.isfinite(matrix).all(axis=1))[0])
        raise ValueError(f"candles must be finite numbers; row {row} is {matrix[row].tolist()}")
    return np.ascontiguousarray(matrix)


def _from_csv(path: str) -> NDArray[np.float64]:
    with open(path, encoding="utf-8") as f:
        names = [n.strip().strip('"').lower() for n in f.readline().split(",")]
    if all(_is_number(n) for n in names):
        return np.loadtxt(path, delimiter=",", ndmin=2)
    _check_columns(names, path)
    wanted = _layout(names)
    data = np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2,
                      usecols=[names.index(n) for n in wanted])
    return _with_volume(wanted, data)


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _check_columns(names: list[str], where: str) -> None:
    missing = [n for n in PRICE_COLUMNS if n not in names]
    if missing:
        raise ValueError(f"{where} lacks the column{'s' if len(missing) > 1 else ''} "
                         f"{', '.join(missing)} (has {', '.join(names)})")


def _layout(names: list[str]) -> list[str]:
    """The columns of `names` the UI reads, in its order."""
    return (["time"] if "time" in names else []) + list(PRICE_COLUMNS) + (
        ["volume"] if "volume" in names else [])


def _with_volume(wanted: list[str], data: NDArray[np.float64]) -> NDArray[np.float64]:
    """Columns `wanted` (a _layout) as the UI's layout: the time layout needs a volume."""
    if wanted[0] == "time" and "volume" not in wanted:
        return np.column_stack((data, np.zeros(len(data))))
    return data
