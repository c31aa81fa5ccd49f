"""The problem line of a DIMACS file and the kind of file it makes, told as the module's readers
take it: comments, blank lines, tabs and runs of blanks, ``\\r\\n``, and lines of any length up to
the readers' own limit, read in bounded pieces."""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass

# The module's readers refuse a longer line; the search for the problem line stops there too.
LINE_LIMIT = 1 << 28
_PIECE = 1 << 16
# "p min NODES ARCS K CAPS COSTS METHOD CLOSING FRACTION SEED": what a multicommodity reader needs.
_MCF_FIELDS = 11


@dataclass(frozen=True)
class Problem:
    """A problem line: its fields and its line number."""

    fields: tuple[str, ...]
    line: int

    @property
    def multicommodity(self) -> bool:
        """Whether the line carries every field of a multicommodity problem line, as numbers. A ".min"
        problem line with extra tokens stays a ".min" line: the ".min" reader ignores them."""
        if len(self.fields) < _MCF_FIELDS:
            return False
        try:
            for text in self.fields[4:9] + self.fields[10:11]:
                int(text)
            float(self.fields[9])
        except ValueError:
            return False
        return True

    def number(self, index: int) -> int | None:
        """The integer in field ``index``, if there is one."""
        try:
            return int(self.fields[index])
        except (IndexError, ValueError):
            return None


def _line_heads(path: str | os.PathLike[str]) -> Iterator[bytes]:
    """The first piece of every line; the rest of a long line is skipped without being kept."""
    with open(path, "rb") as f:
        while head := f.readline(_PIECE):
            piece, length = head, len(head)
            while not piece.endswith(b"\n"):
                piece = f.readline(_PIECE)
                length += len(piece)
                if not piece:
                    break
                if length > LINE_LIMIT:
                    raise ValueError(f"a line is longer than {LINE_LIMIT} bytes")
            yield head


def problem_line(path: str | os.PathLike[str]) -> Problem | None:
    """The file's first problem line, or None when it has none."""
    for number, line in enumerate(_line_heads(path), 1):
        fields = line.split()
        if fields and fields[0] == b"p":
            return Problem(tuple(f.decode("ascii", "replace") for f in fields), number)
    return None


def is_multicommodity(path: str | os.PathLike[str]) -> bool:
    """Whether the file's problem line is that of a multicommodity file."""
    problem = problem_line(path)
    return problem is not None and problem.multicommodity
