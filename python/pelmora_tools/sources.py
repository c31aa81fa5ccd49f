"""Where a network or a data set comes from: a file, or a generator and its parameters.

Wherever a command takes a ".min" instance, ``FAMILY:PARAMETERS`` names the network a generator
makes instead (``netgen:"15 integers"``), and ``FAMILY:FILE`` the networks of a parameter file,
one per problem it holds. Each family registers itself here once (``register``); everything that
takes such an argument goes through ``parse``, so a family is named, expanded, built and listed
with the files it reads the same way by the command line, the sweep and its workers.

A source travels as its text (``Source.text``): the module's objects cannot be pickled, but the
text can, and every process that parses it builds the same network.
"""

from __future__ import annotations

import hashlib
import re
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Literal

Kind = Literal["network", "data set"]

# A parameter file holds a few lines of numbers: anything larger is not one.
PARAMETER_FILE_BYTES = 1 << 20
_INLINE = re.compile(r"[\s0-9+.-]*")


@dataclass(frozen=True)
class Family:
    """A generator that can stand for an input.

    ``lines`` turns the text of one parameter file into its problems' parameter lines, each in the
    family's own normal form; ``normal`` does the same for one line given inline (raising
    ValueError that names the parameter); ``build`` makes what one line stands for (a
    ``pelmora.NetworkInstance`` for a network family); ``stem`` names one line's outputs in file
    names (short, and different for different lines).
    """

    name: str
    kind: Kind
    title: str
    normal: Callable[[str], str]
    lines: Callable[[str], list[str]]
    build: Callable[[str], Any]
    stem: Callable[[str], str]

    @property
    def prefix(self) -> str:
        return f"{self.name}:"


_FAMILIES: dict[str, Family] = {}
_LOADED = False


def register(family: Family) -> None:
    """Adds a family; its prefix then names its networks (or data sets) everywhere."""
    _FAMILIES[family.name] = family


def _families() -> dict[str, Family]:
    global _LOADED
    if not _LOADED:
        _LOADED = True
        from . import families, netgen  # noqa: F401  (each generator module registers its family on import)
    return _FAMILIES


def families(kind: Kind | None = None) -> list[Family]:
    """The registered families, of one kind or all."""
    return [f for f in _families().values() if kind is None or f.kind == kind]


@dataclass(frozen=True)
class Source:
    """One input as given: a path, or a family with its parameter line or parameter file."""

    text: str
    family: Family | None = None
    body: str = ""

    @property
    def generated(self) -> bool:
        return self.family is not None

    @property
    def parameter_file(self) -> str | None:
        """The parameter file the source reads, for ``FAMILY:FILE``."""
        if self.family is None or _INLINE.fullmatch(self.body):
            return None
        return self.body

    def files(self) -> list[str]:
        """The files reading this source opens: the path, a parameter file, or none."""
        if self.family is None:
            return [self.text]
        return [] if self.parameter_file is None else [self.parameter_file]

    @property
    def name(self) -> str:
        """How messages and CSV rows name it: the file's name, or the family and its line."""
        return Path(self.text).name if self.family is None else self.text

    def problems(self, read: Callable[[str], str] | None = None) -> list[Source]:
        """One source per network: itself for a file or a line, one ``FAMILY:LINE`` per problem of a
        parameter file (read with ``read``, by default a bounded plain read).

        Raises
        ------
        ValueError
            For a malformed line or parameter file.
        """
        if self.family is None:
            return [self]
        family = self.family
        if self.parameter_file is None:
            return [Source(family.prefix + family.normal(self.body), family, family.normal(self.body))]
        text = (read or read_parameter_file)(self.parameter_file)
        return [Source(family.prefix + line, family, line) for line in family.lines(text)]

    def line(self) -> str:
        """The one parameter line of a generated source; ValueError for a file of several problems."""
        if self.family is None:
            raise ValueError(f"{self.text} is a file, not a {self.kind_word()}'s parameters")
        lines = self.problems()
        if len(lines) != 1:
            raise ValueError(f"{len(lines)} {self.family.title} problems, where one {self.kind_word()} is expected")
        return lines[0].body

    def kind_word(self) -> str:
        return "network" if self.family is None or self.family.kind == "network" else "data set"

    def build(self) -> Any:
        """What a generated source of one problem stands for (see ``Family.build``)."""
        assert self.family is not None, "a file is read by its caller"
        return self.family.build(self.line())

    def stem(self) -> str:
        """The stem of output file names: the file's stem, or the family's name for its line."""
        if self.family is None:
            return Path(self.text).stem
        return self.family.stem(self.line())

    def shared(self) -> str:
        """The text as another process sees the same input (a file's absolute path)."""
        return self.text if self.family is not None else str(Path(self.text).resolve())


def parse(text: str, kind: Kind | None = None) -> Source:
    """The source an argument names. A prefix of a family of another kind than ``kind`` is refused;
    any other text is a path."""
    head, colon, body = text.partition(":")
    family = _families().get(head) if colon else None
    if family is None:
        return Source(text)
    if kind is not None and family.kind != kind:
        raise ValueError(f"{text}: {family.prefix} names a {family.kind}, where a {kind} is expected")
    return Source(text, family, body)


def read_parameter_file(path: str) -> str:
    """A parameter file's text, refused past ``PARAMETER_FILE_BYTES``."""
    with open(path, "rb") as f:
        data = f.read(PARAMETER_FILE_BYTES + 1)
    if len(data) > PARAMETER_FILE_BYTES:
        raise ValueError(f"{path}: larger than a parameter file ({PARAMETER_FILE_BYTES} bytes at most)")
    return data.decode()


def digest(line: str) -> str:
    """Eight hex digits of a parameter line, for file names that its leading numbers do not tell apart."""
    return hashlib.sha256(line.encode()).hexdigest()[:8]
