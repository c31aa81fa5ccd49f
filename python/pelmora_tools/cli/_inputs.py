"""What the commands read and write, checked the way the user meant it: a ".min" instance where one is
expected, a multicommodity file where one is expected, whole files only, and no output that would
overwrite an input. Where a command starts from a ".min" instance, a generator's prefix (``netgen:``)
followed by its parameters, or by the path of a parameter file, names the network it generates for
them (pelmora_tools.sources). Where it reads a data set, ``PREFIX.nod`` names the four mnetgen files
beside it, and a data-set generator's prefix the data set it makes.

The module's readers are lenient on purpose (a file cut short or without a problem line reads as an
empty network); the command line knows what the user asked for and refuses such files in one line.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import stat
import tempfile
from collections.abc import Iterator

import pelmora

from .._mcf_file import Problem, locate, problem_line
from ..arrays import DataSetArrays, arrays_from_file, arrays_from_min
from ..mnetgen import load_mnetgen
from ..sources import Source, parse, read_parameter_file
from ._status import Failure, about, os_text, step

_CHUNK = 1 << 16


@contextlib.contextmanager
def readable(path: str) -> Iterator[str]:
    """A path that may be read more than once: the file itself, or, for a pipe or FIFO (which gives its
    bytes only once), a temporary copy of what it held, removed afterwards. Devices and directories,
    which never end or hold no lines, are refused."""
    with about(path):
        mode = os.stat(path).st_mode
    if stat.S_ISREG(mode):
        yield path
        return
    if stat.S_ISDIR(mode):
        raise Failure(f"{path}: Is a directory")
    if not stat.S_ISFIFO(mode):
        raise Failure(f"{path}: not a regular file or a pipe")
    with tempfile.TemporaryDirectory(prefix="pelmora-") as folder:
        copy = os.path.join(folder, "input")
        with about(path), open(path, "rb") as source, open(copy, "wb") as target:
            shutil.copyfileobj(source, target, _CHUNK)
        yield copy


def _problem_or_refuse(path: str, shown: str) -> Problem:
    with about(shown):
        problem = problem_line(path)
    if problem is None:
        raise Failure(f"{shown}: no problem line ('p min NODES ARCS ...'): not a DIMACS file")
    return problem


@contextlib.contextmanager
def reading(shown: str, path: str, problem: Problem) -> Iterator[None]:
    """``about(shown)`` for a module reader, its message given the line it is about where the
    reader names none."""
    try:
        yield
    except (RuntimeError, OSError) as error:
        text = os_text(error) if isinstance(error, OSError) else str(error)
        line = locate(path, text, problem.multicommodity)
        raise Failure(f"{shown}: {'' if line is None else f'line {line}: '}{text}") from error


def _whole(shown: str, problem: Problem, arcs: int) -> None:
    declared = problem.number(3)
    if declared is not None and arcs < declared:
        raise Failure(f"{shown}: the problem line declares {declared} arcs, the file holds {arcs}: cut short?")


def source_of(text: str) -> Source:
    """The network an argument names: a ".min" path, or a generator's parameters."""
    with about(text):
        return parse(text, "network")


def _parameter_text(path: str) -> str:
    with readable(path) as readable_path:
        return read_parameter_file(readable_path)


def problems(text: str) -> list[Source]:
    """The networks an argument names: itself, or one source per problem of a parameter file."""
    source = source_of(text)
    with about(source.parameter_file or text):
        return source.problems(_parameter_text)


def read_instance(text: str) -> pelmora.NetworkInstance:
    """The single-commodity network a command starts from: a ".min" file, or the network a
    generator makes for the one problem an argument names."""
    source = source_of(text)
    if source.family is not None:
        networks = problems(text)
        title = source.family.title
        if len(networks) > 1:
            raise Failure(f"{text}: {len(networks)} {title} problems, where one network is expected")
        line = networks[0].body
        with about(text), step(f"generate the {title} network {line!r}"):
            network: pelmora.NetworkInstance = source.family.build(line)
        return network
    with readable(text) as path:
        problem = _problem_or_refuse(path, text)
        if problem.multicommodity:
            raise Failure(f"{text}: a multicommodity file, where a .min instance is expected")
        with reading(text, path, problem):
            instance = pelmora.load_min_instance(path)
        _whole(text, problem, arrays_from_min(instance).num_arcs)
    return instance


def read_mnetgen(path: str) -> DataSetArrays:
    """The data set of the four mnetgen files a ``PREFIX.nod`` path names; the reader's messages
    name the file and line already."""
    with step(f"read the mnetgen files of {path}"):
        try:
            return load_mnetgen(path)
        except ValueError as error:
            raise Failure(str(error)) from None
        except OSError as error:  # "PREFIX.sup: No such file or directory (os error 2)"
            raise Failure(os_text(error)) from None


def read_data_set(path: str) -> tuple[Problem | None, DataSetArrays]:
    """The problem line and arrays of a multicommodity file, or of a ".min" file as one commodity;
    no problem line (None) for the four mnetgen files of a ``PREFIX.nod`` path or the data set a
    generator's source names."""
    try:
        source = parse(path, "data set")
    except ValueError as error:  # a network's prefix; the message names the argument
        raise Failure(str(error)) from None
    if source.family is not None:
        title = source.family.title
        with about(path), step(f"generate the {title} data set {path!r}"):
            made: DataSetArrays = source.build()
        return None, made
    if path.endswith(".nod"):
        return None, read_mnetgen(path)
    with readable(path) as readable_path:
        problem = _problem_or_refuse(readable_path, path)
        with reading(path, readable_path, problem):
            if problem.multicommodity:
                arrays = arrays_from_file(readable_path)
            else:
                arrays = arrays_from_min(pelmora.load_min_instance(readable_path))
        _whole(path, problem, arrays.num_arcs)
    return problem, arrays


def os_failure(path: str, error: OSError) -> Failure:
    return Failure(f"{path}: {os_text(error)}")
