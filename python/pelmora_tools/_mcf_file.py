"""The problem line of a DIMACS file and the kind of file it makes, told as the module's readers
take it: comments, blank lines, tabs and runs of blanks, ``\\r\\n``, and lines of any length up to
the readers' own limit, read in bounded pieces."""

from __future__ import annotations

import os
import re
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
        """Whether the line carries every field of a multicommodity problem line, its integers as
        integers. A ".min" problem line with extra tokens stays a ".min" line: the ".min" reader
        ignores them."""
        if len(self.fields) < _MCF_FIELDS:
            return False
        # The closing fraction is left to the reader, which names a malformed one.
        try:
            for text in self.fields[4:9] + self.fields[10:11]:
                int(text)
        except ValueError:
            return False
        return True

    def number(self, index: int) -> int | None:
        """The integer in field ``index``, if there is one."""
        try:
            return int(self.fields[index])
        except (IndexError, ValueError):
            return None


# Unicode's White_Space characters, which separate the readers' tokens (str.split would also split
# at U+001C..U+001F, which the readers keep inside a token).
_WHITE_SPACE = re.compile("[\t\n\v\f\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+")


def tokens(line: bytes) -> list[str]:
    """A line's tokens as the readers split it (text that is not UTF-8 is replaced, for a reader
    refuses it anyway)."""
    return [t for t in _WHITE_SPACE.split(line.decode("utf-8", "replace")) if t]


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
        fields = tokens(line)
        if fields and fields[0] == "p":
            return Problem(tuple(fields), number)
    return None


def is_multicommodity(path: str | os.PathLike[str]) -> bool:
    """Whether the file's problem line is that of a multicommodity file."""
    problem = problem_line(path)
    return problem is not None and problem.multicommodity


# The module's messages for a bad token or bad text, which name no line.
_TOKEN_ERRORS = ("invalid digit found in string", "number too large to fit in target type",
                 "number too small to fit in target type")
_FLOAT_ERROR = "invalid float literal"
_TEXT_ERROR = "stream did not contain valid UTF-8"
_INT64 = (-(2**63), 2**63 - 1)


def _bad_integer(token: str) -> bool:
    body = token[1:] if token[:1] in ("+", "-") else token
    return not (body.isdigit() and body.isascii()) or not _INT64[0] <= int(token) <= _INT64[1]


def _numbers(fields: list[str], multicommodity: bool) -> list[str]:
    """The tokens of a record line that the readers take as integers."""
    kind = fields[0]
    if kind == "p":
        return fields[2:9] + fields[10:11] if multicommodity else fields[2:4]
    if kind == "n":
        return fields[1:] if multicommodity else fields[1:3]
    if kind == "a":
        return fields[1:] if multicommodity else fields[1:6]
    return []


def locate(path: str | os.PathLike[str], message: str, multicommodity: bool) -> int | None:
    """The line a reader's message is about when the message names none: the first line with a
    number token the reader cannot take, or with text that is not UTF-8. None when not found in the
    first ``_PIECE`` bytes of each line, or for other messages."""
    if message.startswith("line ") or message not in (*_TOKEN_ERRORS, _FLOAT_ERROR, _TEXT_ERROR):
        return None
    for number, line in enumerate(_line_heads(path), 1):
        if message == _TEXT_ERROR:
            try:
                line.decode("utf-8")
            except UnicodeDecodeError:
                return number
            continue
        fields = tokens(line)
        if not fields:
            continue
        if message == _FLOAT_ERROR:
            if fields[0] == "p":
                return number
            continue
        if any(_bad_integer(token) for token in _numbers(fields, multicommodity)):
            return number
    return None
