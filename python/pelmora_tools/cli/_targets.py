"""Every file a command writes, compared before anything is written with every file it reads and
every other file it writes: as files, not as names. Two names are the same file when they reach the
same device and inode (hard links, symbolic links, "./x" and "x"), or, for a file not there yet, the
same resolved path (a dangling link and its target). A command that would overwrite what it reads,
or write two of its outputs into one file, is refused in one line and writes nothing."""

from __future__ import annotations

import os

from ._status import Failure

TYPE_CHECKING = False  # typing's, without importing typing before a command needs it
if TYPE_CHECKING:
    from collections.abc import Iterable

_Identity = tuple[int, int] | str


def identity(path: str | os.PathLike[str]) -> _Identity:
    """The file a path names: (device, inode) where it exists, else its resolved path."""
    try:
        found = os.stat(path)
    except (OSError, ValueError):  # not there yet, or a name no file can have (a NUL byte)
        return os.path.realpath(path)
    return found.st_dev, found.st_ino


def refuse_collisions(inputs: Iterable[str | os.PathLike[str]], outputs: Iterable[str | os.PathLike[str]]) -> None:
    """Refuses an output that is one of the inputs, or that another output already names.

    Raises
    ------
    Failure
        Naming the output and the input or the other output it is.
    """
    seen: dict[_Identity, tuple[str, bool]] = {}
    for path in inputs:
        seen.setdefault(identity(path), (os.fspath(path), True))
    for path in outputs:
        name, key = os.fspath(path), identity(path)
        if key not in seen:
            seen[key] = (name, False)
            continue
        other, is_input = seen[key]
        if is_input:
            raise Failure(f"{name}: the output is the input file {other}; write to another path")
        raise Failure(f"{name}: the output is also the output {other}; give each its own path")

