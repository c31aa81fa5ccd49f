"""Integer tokens of the classic generators' parameter lines, read as their C programs read them."""

from __future__ import annotations

import re

_INTEGER = re.compile(r"[+-]?[0-9]+")
INT64 = range(-(2**63), 2**63)


def integer(name: str, token: str) -> int:
    """The token as a 64-bit integer, or a ValueError naming the parameter."""
    if not _INTEGER.fullmatch(token):
        raise ValueError(f"{name} must be an integer, got {token!r}")
    value = int(token)
    if value not in INT64:
        raise ValueError(f"{name} must fit in 64 bits, got {token}")
    return value
