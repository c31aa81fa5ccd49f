"""The kind of a DIMACS file, told by its problem line as the module's readers find it (comments,
blank lines, tabs and runs of blanks, ``\\r\\n``)."""

from __future__ import annotations

import os

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
