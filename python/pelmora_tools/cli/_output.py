"""Output meant for machines: strict JSON (a value that is not a number becomes null), long arrays
written in pieces so that a data set of many commodities is never held as one Python list."""

from __future__ import annotations

import json
import math
from typing import IO, Any

import numpy as np

_PIECE = 1 << 16


def _strict(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {key: _strict(item) for key, item in value.items()}
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, list | tuple):
        return [_strict(item) for item in value]
    return value


def json_line(value: Any) -> str:
    """One line of standard JSON: NaN and the infinities, which JSON has no words for, become null."""
    return json.dumps(_strict(value), allow_nan=False)


def write_json(stream: IO[str], value: dict[str, Any]) -> None:
    """``json_line`` of a dict, its NumPy values written a piece at a time."""
    stream.write("{")
    for number, (key, item) in enumerate(value.items()):
        stream.write(f"{', ' * bool(number)}{json.dumps(key)}: ")
        if isinstance(item, np.ndarray):
            stream.write("[")
            for start in range(0, item.size, _PIECE):
                stream.write(", " * bool(start) + ", ".join(map(str, item[start : start + _PIECE].tolist())))
            stream.write("]")
        else:
            stream.write(json_line(item))
    stream.write("}\n")
