"""What the module's multicommodity reader leaves out of its record: the kind of a file and each
arc's lower bound, read from the file's own lines with the reader's tolerance (comments, blank
lines, tabs and runs of blanks, ``\\r\\n``)."""

from __future__ import annotations

import os

import numpy as np
import numpy.typing as npt

# A ".min" problem line is "p min NODES ARCS"; a multicommodity one carries K and its flags after.
_MIN_PROBLEM_FIELDS = 4


def _problem_fields(path: str | os.PathLike[str]) -> list[bytes] | None:
    with open(path, "rb") as f:
        for line in f:
            fields = line.split()
            if fields and fields[0] == b"p":
                return fields
    return None


def is_multicommodity(path: str | os.PathLike[str]) -> bool:
    """Whether the file's problem line is that of a multicommodity file."""
    fields = _problem_fields(path)
    return fields is not None and len(fields) > _MIN_PROBLEM_FIELDS


def arc_lows(path: str | os.PathLike[str], num_arcs: int) -> npt.NDArray[np.int64]:
    """The LOW field of every arc line, in file order."""
    lows = np.zeros(num_arcs, dtype=np.int64)
    count = 0
    with open(path, "rb") as f:
        for number, line in enumerate(f, start=1):
            fields = line.split(None, 4)
            if not fields or fields[0] != b"a":
                continue
            if count == num_arcs:
                raise ValueError(f"{os.fspath(path)}: more arc lines than the reader found ({num_arcs})")
            try:
                lows[count] = int(fields[3])
            except (IndexError, ValueError):
                raise ValueError(f"{os.fspath(path)}:{number}: arc line without an integer LOW field") from None
            count += 1
    if count != num_arcs:
        raise ValueError(f"{os.fspath(path)}: {count} arc lines, the reader found {num_arcs}")
    return lows
