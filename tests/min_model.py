"""A plain Python model of the DIMACS .min reader behind load_min_instance (what the instance must
hold for a given file text, or which message it fails with), and the file helpers its tests share."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

import pelmora

DATA = Path(__file__).parent / "data"

# The Unicode White_Space property: what the reader trims and splits at. Python's own str.split()
# also splits at U+001C..U+001F, which are not in it, so the model splits with this class.
WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
NOT_WHITE_SPACE = ["\x1c", "\x1f", "\u200b", "\u180e", "\ufeff"]
SPLIT = re.compile(f"[{re.escape(WHITE_SPACE)}]+")

I64_MIN, I64_MAX = -(2**63), 2**63 - 1
INVALID = "invalid digit found in string"
TOO_LARGE = "number too large to fit in target type"
TOO_SMALL = "number too small to fit in target type"


def load(path) -> pelmora.NetworkInstance:
    return pelmora.load_min_instance(str(path))


def load_error(path) -> str:
    with pytest.raises(OSError) as info:
        pelmora.load_min_instance(str(path))
    assert type(info.value) is OSError and len(info.value.args) == 1
    return info.value.args[0]


def write_bytes(tmp_path: Path, data: bytes, name="x.min") -> Path:
    path = tmp_path / name
    path.write_bytes(data)
    return path


def write_text(tmp_path: Path, text: str, name="x.min") -> Path:
    return write_bytes(tmp_path, text.encode("utf-8"), name)


# --------------------------------------------------------------------------------------------
# A plain model of the reader: what the instance must hold for a given file text.


def model_int(token: str, lo=I64_MIN, hi=I64_MAX):
    """The integer token rule: value, or the message of the first offence met left to right."""
    if token == "":
        return "cannot parse integer from empty string"
    if token in ("+", "-"):
        return INVALID
    negative = token[0] == "-" and lo < 0
    digits = token[1:] if token[0] == "+" or negative else token
    value = 0
    for ch in digits:
        if ch not in "0123456789":
            return INVALID
        value = value * 10 + int(ch)
        if not negative and value > hi:
            return TOO_LARGE
        if negative and -value < lo:
            return TOO_SMALL
    return -value if negative else value


ARC_FIELDS = ("tail", "head", "lower bound", "capacity", "cost")


class ModelError(Exception):
    pass


def model_read(text: str) -> dict:
    """Reads file text the way the reader must, with plain dicts and lists."""
    declared = (0, 0)
    nodes, seen, supplies, edges, arc_indices = [], set(), {}, [], {}

    def number(tok):
        v = model_int(tok)
        if isinstance(v, str):
            raise ModelError(v)
        return v

    def see(v):
        if v not in seen:
            seen.add(v)
            nodes.append(v)

    for number_of_line, line in enumerate(text.split("\n"), 1):
        trimmed = line.strip(WHITE_SPACE)
        if not trimmed or trimmed[0] == "c":
            continue
        tokens = SPLIT.split(trimmed)
        if len(tokens[0].encode()) != 1:
            continue
        kind = tokens[0]
        if kind == "a":
            values = []
            for k, field in enumerate(ARC_FIELDS, 1):
                if k == len(tokens):
                    raise ModelError(f"line {number_of_line}: arc line is missing the {field} (token {k})")
                values.append(number(tokens[k]))
            tail, head, low, up, cost = values
            positions = arc_indices.setdefault((tail, head), [])
            edges.append((tail, head, low, up, cost, len(positions)))
            positions.append(len(edges) - 1)
            see(tail)
            see(head)
        elif kind == "n":
            node, supply = number(tokens[1]), number(tokens[2])
            supplies[node] = supply
            see(node)
        elif kind == "p":
            declared = (number(tokens[2]), number(tokens[3]))
    return {
        "num_nodes": declared[0],
        "num_arcs": declared[1],
        "nodes": nodes,
        "supplies": dict(sorted(supplies.items())),
        "edges": edges,
        "arc_indices": dict(sorted(arc_indices.items())),
        "num_parallel_arc_pairs": sum(1 for p in arc_indices.values() if len(p) > 1),
    }


def observed(instance) -> dict:
    """The instance's fields in the model's shape, after checking that its views agree."""
    edges = [(e.tail, e.head, e.low, e.up, e.cost, e.index) for e in instance.edges]
    assert instance.arcs == [(e[0], e[1], e[5]) for e in edges]
    assert instance.capacities == [e[3] for e in edges]
    assert instance.weights == [e[4] for e in edges]
    assert instance.topology() == [(e[0], e[1]) for e in edges]
    assert instance.parallel == (instance.num_parallel_arc_pairs > 0)
    supplies = instance.supplies
    arc_indices = instance.arc_indices
    assert list(supplies) == sorted(supplies) and list(arc_indices) == sorted(arc_indices)
    return {
        "num_nodes": instance.num_nodes,
        "num_arcs": instance.num_arcs,
        "nodes": instance.nodes,
        "supplies": supplies,
        "edges": edges,
        "arc_indices": arc_indices,
        "num_parallel_arc_pairs": instance.num_parallel_arc_pairs,
    }


def check_against_model(path: Path, text: str):
    try:
        expected = model_read(text)
    except ModelError as exc:
        assert load_error(path) == str(exc)
        return
    got = observed(load(path))
    assert got == expected
