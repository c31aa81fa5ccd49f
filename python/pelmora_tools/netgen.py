"""NETGEN's networks from their 15 parameters, network for network those of the classic C program
(Klingman, Napier and Stutz 1974; Norbert Schlenker's C version with the 1992 overflow fix), with
no size cap but memory. docs/netgen.md lists the standard families' parameter lines."""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import astuple, dataclass, fields
from typing import Literal, overload

import pelmora

from . import _native, sources
from ._tokens import INT64 as _INT64
from ._tokens import integer as _integer


@dataclass(frozen=True)
class NetgenParams:
    """The 15 integers of a NETGEN problem, in the order of its parameter line: the random seed, the
    problem number, the counts of nodes, sources and sinks (transshipment ones included), the arcs
    requested, the cost range, the total supply, the transshipment sources and sinks, the percent
    of skeleton arcs given the maximum cost, the percent of skeleton arcs capacitated and the
    capacity range."""

    seed: int
    problem: int
    nodes: int
    sources: int
    sinks: int
    arcs: int
    min_cost: int
    max_cost: int
    supply: int
    tsources: int
    tsinks: int
    hicost: int
    capacitated: int
    min_cap: int
    max_cap: int

    def line(self) -> str:
        """The parameter line, as NETGEN reads it."""
        return " ".join(str(v) for v in astuple(self))


PARAMETER_NAMES: tuple[str, ...] = tuple(f.name for f in fields(NetgenParams))


@dataclass(frozen=True)
class NetgenSummary:
    """What was written: the problem's form ("min", "asn" for an assignment problem, "max" for a
    maximum flow problem, as NETGEN chooses it), and the counts of nodes and arcs generated."""

    form: Literal["min", "asn", "max"]
    nodes: int
    arcs: int


def parse_netgen_params(text: str) -> NetgenParams:
    """The parameters of one NETGEN parameter line: 15 integers separated by white space.

    Raises
    ------
    ValueError
        For a count other than 15 or a token that is not an integer, naming the parameter.
        The values themselves are checked when the network is generated.
    """
    tokens = text.split()
    if len(tokens) != len(PARAMETER_NAMES):
        raise ValueError(f"a NETGEN parameter line holds {len(PARAMETER_NAMES)} integers, got {len(tokens)}")
    return NetgenParams(*(_integer(name, token) for name, token in zip(PARAMETER_NAMES, tokens)))


def parse_netgen_file(text: str) -> list[NetgenParams]:
    """Every problem of a NETGEN parameter file, in order.

    The file is read as the C program reads its input: 15 integers per problem, however the lines
    break them, until the end or a seed of 0 or below (the original's terminator). Lines whose
    first token starts with ``#`` or is ``c`` are comments.

    Raises
    ------
    ValueError
        For no problem, an incomplete last problem or a token that is not an integer.
    """
    tokens = [
        token
        for line in text.splitlines()
        if not (words := line.split()) or not (words[0].startswith("#") or words[0] == "c")
        for token in words
    ]
    count = len(PARAMETER_NAMES)
    problems: list[NetgenParams] = []
    for start in range(0, len(tokens), count):
        if _integer(PARAMETER_NAMES[0], tokens[start]) <= 0 and problems:
            break
        group = tokens[start : start + count]
        if len(group) < count:
            raise ValueError(
                f"problem {len(problems) + 1} of the parameter file holds {len(group)} of its {count} integers"
            )
        problems.append(parse_netgen_params(" ".join(group)))
    if not problems:
        raise ValueError("the parameter file holds no NETGEN problem")
    return problems


def _values(params: NetgenParams | str | Sequence[int]) -> tuple[int, ...]:
    if isinstance(params, NetgenParams):
        return astuple(params)
    if isinstance(params, str):
        return astuple(parse_netgen_params(params))
    values = tuple(params)
    if len(values) != len(PARAMETER_NAMES):
        raise ValueError(f"NETGEN takes {len(PARAMETER_NAMES)} parameters, got {len(values)}")
    for name, value in zip(PARAMETER_NAMES, values):
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if value not in _INT64:
            raise ValueError(f"{name} must fit in 64 bits, got {value}")
    return values


@overload
def netgen(params: NetgenParams | str | Sequence[int], *, out: None = None) -> pelmora.NetworkInstance: ...
@overload
def netgen(
    params: NetgenParams | str | Sequence[int], *, out: str | os.PathLike[str], min_form: bool = False
) -> NetgenSummary: ...
def netgen(
    params: NetgenParams | str | Sequence[int],
    *,
    out: str | os.PathLike[str] | None = None,
    min_form: bool = False,
) -> pelmora.NetworkInstance | NetgenSummary:
    """NETGEN's network for ``params``: the network the classic C program generates for them, arc
    for arc.

    Parameters
    ----------
    params : NetgenParams, str or sequence of 15 ints
        The parameters, or their parameter line.
    out : path, optional
        Where to write the network. The file holds the C program's problem, node and arc lines,
        byte for byte ("p asn" or "p max" where it writes an assignment or maximum flow problem),
        after comment lines naming the parameters.
    min_form : bool
        With ``out``: write an assignment or maximum flow problem as the minimum-cost flow problem
        it is (every supply, capacity and cost), as ``pelmora.load_min_instance`` reads it.

    Returns
    -------
    pelmora.NetworkInstance or NetgenSummary
        Without ``out``, what ``pelmora.load_min_instance`` returns for the file written with
        ``min_form``; with ``out``, the problem's form and counts.

    Raises
    ------
    ValueError
        For a bad parameter (one line naming it, before any file is touched): those the C program
        refuses, negative transshipment counts, a cost or capacity range wider than 2^63 - 2,
        sizes beyond the available memory, or parameters for which NETGEN draws forever.
    OSError
        When the file cannot be written.
    """
    values = _values(params)
    if out is not None:
        form, nodes, arcs = _native.netgen(values, os.fspath(out), min_form)
        return NetgenSummary(form, nodes, arcs)
    return _native.netgen_network(values)


def _stem(line: str) -> str:
    # The seed and problem number, and a digest of the whole line, which they alone do not tell apart.
    params = parse_netgen_params(line)
    return f"netgen-{params.seed}-{params.problem}-{sources.digest(line)}"


sources.register(sources.Family(
    name="netgen",
    kind="network",
    title="NETGEN",
    normal=lambda line: parse_netgen_params(line).line(),
    lines=lambda text: [p.line() for p in parse_netgen_file(text)],
    build=netgen,
    stem=_stem,
))
