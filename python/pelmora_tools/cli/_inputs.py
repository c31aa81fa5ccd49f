"""What the commands read and write, checked the way the user meant it: a ".min" instance where one is
expected, a multicommodity file where one is expected, whole files only, and no output that would
overwrite an input. Where a command starts from a ".min" instance, ``netgen:`` followed by NETGEN's 15
parameters (or by the path of a parameter file) names the network NETGEN generates for them.

The module's readers are lenient on purpose (a file cut short or without a problem line reads as an
empty network); the command line knows what the user asked for and refuses such files in one line.
"""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import stat
import tempfile
from collections.abc import Iterator

import pelmora

from .._mcf_file import Problem, locate, problem_line
from ..arrays import DataSetArrays, arrays_from_file, arrays_from_min
from ..netgen import NETGEN_SPEC, netgen, parse_netgen_file, parse_netgen_params
from ._status import Failure, about, os_text, step

_CHUNK = 1 << 16
# A parameter file holds lines of 15 integers: anything larger is not one.
_PARAMETER_FILE_BYTES = 1 << 20


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


def netgen_lines(spec: str) -> list[str] | None:
    """The NETGEN parameter lines a ``netgen:`` spec stands for: its own line of integers, or every
    problem of the parameter file it names; None for any other spec."""
    if not spec.startswith(NETGEN_SPEC):
        return None
    body = spec[len(NETGEN_SPEC) :]
    if re.fullmatch(r"[\s0-9+-]*", body):
        with about(spec):
            return [parse_netgen_params(body).line()]
    with readable(body) as path, about(body), open(path, "rb") as f:
        data = f.read(_PARAMETER_FILE_BYTES + 1)
        if len(data) > _PARAMETER_FILE_BYTES:
            raise Failure(f"{body}: larger than a NETGEN parameter file ({_PARAMETER_FILE_BYTES} bytes at most)")
        return [p.line() for p in parse_netgen_file(data.decode())]


def instance_specs(spec: str) -> list[str]:
    """The networks a spec names: itself, or one ``netgen:LINE`` per problem of a parameter file."""
    lines = netgen_lines(spec)
    return [spec] if lines is None else [NETGEN_SPEC + line for line in lines]


def read_instance(spec: str) -> pelmora.NetworkInstance:
    """The single-commodity network a command starts from: a ".min" file, or the network NETGEN
    generates for a ``netgen:`` spec of one problem."""
    lines = netgen_lines(spec)
    if lines is not None:
        if len(lines) > 1:
            raise Failure(f"{spec}: {len(lines)} NETGEN problems, where one network is expected")
        with about(spec), step(f"generate the NETGEN network {lines[0]!r}"):
            return netgen(lines[0])
    with readable(spec) as path:
        problem = _problem_or_refuse(path, spec)
        if problem.multicommodity:
            raise Failure(f"{spec}: a multicommodity file, where a .min instance is expected")
        with reading(spec, path, problem):
            instance = pelmora.load_min_instance(path)
        _whole(spec, problem, arrays_from_min(instance).num_arcs)
    return instance


def read_data_set(path: str) -> tuple[Problem, DataSetArrays]:
    """The problem line and arrays of a multicommodity file, or of a ".min" file as one commodity."""
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
