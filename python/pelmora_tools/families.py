"""GRIDGEN, GOTO and MNETGEN, the classic generators that studies pair with NETGEN, each writing the
lines its C program writes for the same parameters (comment lines aside): GRIDGEN (Lee and Orlin's
grid with a super node), GOTO (Goldberg's grid on a torus) and MNETGEN (Kennington and Ali's
multicommodity generator, in Frangioni's C++ form with drand48 and four files). docs/families.md
describes their parameters and the parameters they refuse."""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Sequence
from dataclasses import astuple, dataclass, fields
from typing import Any, overload

import pelmora

from . import _native, sources
from ._tokens import integer as _integer

# What C's scanf("%f") and a stream's >> double take, written out (no "nan", "inf" or hex).
_NUMBER = re.compile(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?")
UNIFORM, EXPONENTIAL = 1, 2
_DISTRIBUTION_PARAMETERS = {UNIFORM: 2, EXPONENTIAL: 1}


@dataclass(frozen=True)
class FamilySummary:
    """What was written: the counts of nodes and arcs (for MNETGEN, of arc names)."""

    nodes: int
    arcs: int


def _number(name: str, token: str) -> float:
    if not _NUMBER.fullmatch(token):
        raise ValueError(f"{name} must be a number, got {token!r}")
    value = float(token)
    if value in (float("inf"), float("-inf")):
        raise ValueError(f"{name} must be a finite number, got {token}")
    return value


def _text(value: float) -> str:
    return str(int(value)) if value == int(value) else repr(value)


@dataclass(frozen=True)
class GridgenParams:
    """GRIDGEN's input, in its order: arcs both ways between neighbours (nonzero) or one way, the
    seed, the node count and grid width (the grid is rounded from them, plus a super node), the
    sources, sinks, average degree and total supply, then the cost distribution (1 uniform: low and
    high; 2 exponential: lambda) and the capacity distribution with its parameters."""

    two_way: int
    seed: int
    nodes: int
    width: int
    sources: int
    sinks: int
    degree: int
    supply: int
    cost_distribution: int
    cost: tuple[float, ...]
    capacity_distribution: int
    capacity: tuple[float, ...]

    def line(self) -> str:
        """The parameters as one line, in GRIDGEN's order."""
        head = [self.two_way, self.seed, self.nodes, self.width, self.sources, self.sinks, self.degree, self.supply]
        return " ".join([*map(str, head), str(self.cost_distribution), *map(_text, self.cost),
                         str(self.capacity_distribution), *map(_text, self.capacity)])  # fmt: skip


@dataclass(frozen=True)
class GotoParams:
    """GOTO's input, in its order: nodes (at least 15), arcs (from 6 x nodes to nodes^(5/3)), the
    highest capacity and cost (at least 8 each) and the seed."""

    nodes: int
    arcs: int
    max_cap: int
    max_cost: int
    seed: int

    def line(self) -> str:
        return " ".join(map(str, astuple(self)))


@dataclass(frozen=True)
class MnetgenParams:
    """MNETGEN's 21 numbers, in its order: seed, problem number, nodes, arcs (at least; more come
    where the skeleton needs them), sources and sinks (transshipment ones included), commodities,
    transshipment sources and sinks, the longest chain, the cost, total supply, individual bound and
    mutual capacity ranges, and the percentages of arcs with the highest cost, with an individual
    bound and with a mutual capacity."""

    seed: int
    problem: int
    nodes: int
    arcs: int
    sources: int
    sinks: int
    commodities: int
    tsources: int
    tsinks: int
    chain: int
    min_cost: int
    max_cost: int
    min_supply: int
    max_supply: int
    min_bound: int
    max_bound: int
    min_cap: int
    max_cap: int
    hicost: float
    bounded: float
    capacitated: float

    def line(self) -> str:
        values = astuple(self)
        return " ".join([*map(str, values[:18]), *map(_text, values[18:])])


GOTO_NAMES = tuple(f.name for f in fields(GotoParams))
MNETGEN_NAMES = tuple(f.name for f in fields(MnetgenParams))
_GRIDGEN_HEAD = ("two_way", "seed", "nodes", "width", "sources", "sinks", "degree", "supply")


class _Tokens:
    """A parameter text's tokens, taken in order and named in messages."""

    def __init__(self, tokens: list[str], family: str) -> None:
        self.tokens, self.at, self.family = tokens, 0, family

    def take(self, name: str) -> str:
        if self.at >= len(self.tokens):
            raise ValueError(f"a {self.family} parameter line ends before {name} ({self.at} numbers)")
        self.at += 1
        return self.tokens[self.at - 1]

    def done(self) -> bool:
        return self.at >= len(self.tokens)


def _read_gridgen(tokens: _Tokens) -> GridgenParams:
    head: list[Any] = [_integer(name, tokens.take(name)) for name in _GRIDGEN_HEAD]
    parts: list[Any] = []
    for what in ("cost", "capacity"):
        code = _integer(f"{what}_distribution", tokens.take(f"{what}_distribution"))
        if code not in _DISTRIBUTION_PARAMETERS:
            raise ValueError(f"{what}_distribution must be 1 (uniform) or 2 (exponential), got {code}")
        names = ("low", "high") if code == UNIFORM else ("lambda",)
        parts += [code, tuple(_number(f"{what} {n}", tokens.take(f"{what} {n}")) for n in names)]
    return GridgenParams(*head, *parts)


def _read_fixed[P: (GridgenParams, GotoParams, MnetgenParams)](names: tuple[str, ...], floats: int, make: Callable[..., P]) -> Callable[[_Tokens], P]:
    def read(tokens: _Tokens) -> P:
        values: list[Any] = []
        for i, name in enumerate(names):
            token = tokens.take(name)
            values.append(_number(name, token) if i >= len(names) - floats else _integer(name, token))
        return make(*values)

    return read


_read_goto = _read_fixed(GOTO_NAMES, 0, GotoParams)
_read_mnetgen = _read_fixed(MNETGEN_NAMES, 3, MnetgenParams)


def _one[P: (GridgenParams, GotoParams, MnetgenParams)](read: Callable[[_Tokens], P], family: str, text: str) -> P:
    tokens = _Tokens(text.split(), family)
    params = read(tokens)
    if not tokens.done():
        raise ValueError(f"a {family} parameter line holds {tokens.at} numbers, got {len(tokens.tokens)}")
    return params


def _many[P: (GridgenParams, GotoParams, MnetgenParams)](read: Callable[[_Tokens], P], family: str, text: str) -> list[P]:
    """Every problem of a parameter file: the problems' numbers one after another, however the lines
    break them; lines whose first token starts with ``#`` or is ``c`` are comments."""
    words: list[str] = []
    for line in text.splitlines():
        split = line.split()
        if not split or not (split[0].startswith("#") or split[0] == "c"):
            words += split
    tokens = _Tokens(words, family)
    problems = []
    while not tokens.done():
        problems.append(read(tokens))
    if not problems:
        raise ValueError(f"the parameter file holds no {family} problem")
    return problems


def parse_gridgen_params(text: str) -> GridgenParams:
    """GRIDGEN's parameters from one line (ValueError naming the parameter)."""
    return _one(_read_gridgen, "GRIDGEN", text)


def parse_goto_params(text: str) -> GotoParams:
    """GOTO's five parameters from one line (ValueError naming the parameter)."""
    return _one(_read_goto, "GOTO", text)


def parse_mnetgen_params(text: str) -> MnetgenParams:
    """MNETGEN's 21 parameters from one line (ValueError naming the parameter)."""
    return _one(_read_mnetgen, "MNETGEN", text)


def _as[P: (GridgenParams, GotoParams, MnetgenParams)](params: P | str | Sequence[Any], parse: Callable[[str], P]) -> P:
    if isinstance(params, str):
        return parse(params)
    if isinstance(params, Sequence):
        return parse(" ".join(str(v) for v in params))
    return params


def _instance(write: Callable[[str], object], name: str) -> pelmora.NetworkInstance:
    fd = os.memfd_create(name)
    try:
        path = f"/proc/self/fd/{fd}"
        write(path)
        return pelmora.load_min_instance(path)
    finally:
        os.close(fd)


def _gridgen_native(p: GridgenParams, path: str) -> tuple[int, int]:
    ints = (*(getattr(p, n) for n in _GRIDGEN_HEAD), p.cost_distribution, p.capacity_distribution)
    floats = tuple(float(v) for v in (*p.cost, 0.0)[:2]) + tuple(float(v) for v in (*p.capacity, 0.0)[:2])
    return _native.gridgen(ints, floats, path)


@overload
def gridgen(params: GridgenParams | str | Sequence[Any], *, out: None = None) -> pelmora.NetworkInstance: ...
@overload
def gridgen(params: GridgenParams | str | Sequence[Any], *, out: str | os.PathLike[str]) -> FamilySummary: ...
def gridgen(
    params: GridgenParams | str | Sequence[Any], *, out: str | os.PathLike[str] | None = None
) -> pelmora.NetworkInstance | FamilySummary:
    """GRIDGEN's network for ``params`` (a GridgenParams, its line, or its numbers in order): the
    network the classic C program generates, arc for arc.

    With ``out``, writes the C program's problem, node and arc lines (after comment lines naming the
    parameters) and returns the counts; without, returns what ``pelmora.load_min_instance`` reads
    from that file.

    Raises
    ------
    ValueError
        For a bad parameter, in one line naming it, before any file is touched (docs/families.md).
    OSError
        When the file cannot be written.
    """
    p = _as(params, parse_gridgen_params)
    if out is None:
        return _instance(lambda path: _gridgen_native(p, path), "gridgen.min")
    return FamilySummary(*_gridgen_native(p, os.fspath(out)))


@overload
def goto(params: GotoParams | str | Sequence[int], *, out: None = None) -> pelmora.NetworkInstance: ...
@overload
def goto(params: GotoParams | str | Sequence[int], *, out: str | os.PathLike[str]) -> FamilySummary: ...
def goto(
    params: GotoParams | str | Sequence[int], *, out: str | os.PathLike[str] | None = None
) -> pelmora.NetworkInstance | FamilySummary:
    """GOTO's network for ``params`` (nodes, arcs, max_cap, max_cost, seed): the network the classic
    C program generates, line for line (its column widths included). ``out`` as for ``gridgen``.

    Raises
    ------
    ValueError
        For a bad parameter, in one line naming it, before any file is touched.
    OSError
        When the file cannot be written.
    """
    values = astuple(_as(params, parse_goto_params))
    if out is None:
        return _instance(lambda path: _native.goto(values, path), "goto.min")
    return FamilySummary(*_native.goto(values, os.fspath(out)))


def mnetgen_files(params: MnetgenParams | str | Sequence[Any], prefix: str | os.PathLike[str]) -> FamilySummary:
    """Writes MNETGEN's problem for ``params`` (its 21 numbers) as ``prefix.nod``, ``.arc``,
    ``.sup`` and ``.mut``, byte for byte as the C++ program with drand48 writes them; returns the
    counts of nodes and of arc names.

    Raises
    ------
    ValueError
        For a bad parameter, in one line naming it, before any file is touched, or where the
        program would draw forever (then none of the four files is left).
    OSError
        When a file cannot be written (its path in the message).
    """
    values = astuple(_as(params, parse_mnetgen_params))
    ints, floats = values[:18], tuple(float(v) for v in values[18:])
    return FamilySummary(*_native.mnetgen(ints, floats, os.fspath(prefix)))


def _mnetgen_data_set(line: str) -> Any:
    """MNETGEN's problem for one parameter line as a data set: its four files written into a
    scratch directory and read back (pelmora_tools.load_mnetgen)."""
    import tempfile

    from .mnetgen import load_mnetgen

    with tempfile.TemporaryDirectory(prefix="pelmora-mnetgen-") as folder:
        prefix = os.path.join(folder, "problem")
        mnetgen_files(line, prefix)
        return load_mnetgen(prefix)


def _register[P: (GridgenParams, GotoParams, MnetgenParams)](
    name: str, title: str, read: Callable[[_Tokens], P], build: Callable[[str], Any],
    kind: sources.Kind = "network",
) -> None:
    sources.register(sources.Family(
        name=name,
        kind=kind,
        title=title,
        normal=lambda line: _one(read, title, line).line(),
        lines=lambda text: [p.line() for p in _many(read, title, text)],
        build=build,
        stem=lambda line: f"{name}-{_one(read, title, line).seed}-{sources.digest(line)}",
    ))


_register("gridgen", "GRIDGEN", _read_gridgen, gridgen)
_register("goto", "GOTO", _read_goto, goto)
_register("mnetgen", "MNETGEN", _read_mnetgen, _mnetgen_data_set, "data set")
