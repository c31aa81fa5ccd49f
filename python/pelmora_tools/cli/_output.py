"""Output meant for machines: strict JSON (a value that is not a number becomes null)."""

from __future__ import annotations

import json
import math
from typing import Any


def _strict(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {key: _strict(item) for key, item in value.items()}
    if isinstance(value, list | tuple):
        return [_strict(item) for item in value]
    return value


def json_line(value: Any) -> str:
    """One line of standard JSON: NaN and the infinities, which JSON has no words for, become null."""
    return json.dumps(_strict(value), allow_nan=False)
