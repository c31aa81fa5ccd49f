"""Export to the four files of the mnetgen family (".nod", ".arc", ".sup", ".mut"), tab-separated,
as multicommodity solvers of that family read them; docs/format.md describes the files."""

from __future__ import annotations

import os
from typing import BinaryIO

import numpy as np
import numpy.typing as npt

from . import _text
from .arrays import DataSetArrays

# Arcs formatted per block: bounds the scratch memory at a few tens of megabytes whatever the size.
_BLOCK_ROWS = 1 << 18


def _check_bounds(arrays: DataSetArrays) -> None:
    bounded = np.flatnonzero(arrays.low != 0)
    if bounded.size:
        a = int(bounded[0])
        raise ValueError(
            f"arc {a + 1} ({int(arrays.tails[a])} -> {int(arrays.heads[a])}) has lower bound "
            f"{int(arrays.low[a])}; the mnetgen format has no lower bounds"
        )


def _tab(rows: int) -> _text.Bytes2D:
    return _text.constant(b"\t", rows)


def _write_arcs(
    stream: BinaryIO, arrays: DataSetArrays, ends: npt.NDArray[np.int64], pointers: npt.NDArray[np.int64]
) -> None:
    m, k = arrays.num_arcs, arrays.num_commodities
    names = np.arange(1, m + 1, dtype=np.int64)
    width = {
        "name": _text.digit_width(names),
        "end": _text.digit_width(ends),
        "cost": _text.digit_width(arrays.costs),
        "cap": _text.digit_width(arrays.capacities),
        "ptr": _text.digit_width(pointers),
    }
    commodity = np.concatenate(
        (_text.cells(np.arange(1, k + 1, dtype=np.int64), _text.digit_width(np.array([k]))), _tab(k)), axis=1
    )
    step = max(1, _BLOCK_ROWS // max(k, 1))
    for first in range(0, m, step):
        block = slice(first, min(first + step, m))
        rows = block.stop - block.start
        opened = arrays.capacities[block] > 0
        arc, com = np.nonzero(opened)
        if arc.size == 0:
            continue
        head = np.concatenate(
            (
                _text.cells(names[block], width["name"]),
                _tab(rows),
                _text.cells(ends[block, 0], width["end"]),
                _tab(rows),
                _text.cells(ends[block, 1], width["end"]),
                _tab(rows),
            ),
            axis=1,
        )
        tail = np.concatenate(
            (_tab(rows), _text.cells(pointers[block], width["ptr"]), _text.constant(b"\n", rows)), axis=1
        )
        lines = arc.size
        _text.write_rows(
            stream,
            [
                head[arc],
                commodity[com],
                _text.cells(arrays.costs[block][opened], width["cost"]),
                _tab(lines),
                _text.cells(arrays.capacities[block][opened], width["cap"]),
                tail[arc],
            ],
        )


def _write_table(stream: BinaryIO, columns: list[npt.NDArray[np.int64]]) -> None:
    rows = columns[0].shape[0]
    for first in range(0, rows, _BLOCK_ROWS):
        block = slice(first, min(first + _BLOCK_ROWS, rows))
        count = block.stop - block.start
        pieces: list[_text.Bytes2D] = []
        for column in columns:
            pieces += [_text.cells(column[block], _text.digit_width(column)), _tab(count)]
        pieces[-1] = _text.constant(b"\n", count)
        _text.write_rows(stream, pieces)


def export_mnetgen(
    arrays: DataSetArrays, prefix: str | os.PathLike[str], *, write_map: bool = False
) -> npt.NDArray[np.int64]:
    """Writes ``prefix`` + ".nod", ".arc", ".sup" and ".mut" and returns the node numbering: node
    i + 1 of the files is ``mapping[i]`` of the data set. With ``write_map``, ``prefix`` + ".map"
    holds that numbering too, one "number<TAB>node id" line per node.

    Nodes are numbered 1..n in ascending id order, commodities 1..K, arcs 1..m in data-set order.
    A commodity's closed arcs (capacity 0) get no arc line; every arc open to some commodity has
    its ``up`` as mutual capacity. Raises ``ValueError`` for an arc with a non-zero lower bound."""
    _check_bounds(arrays)
    base = os.fspath(prefix)
    n, k = arrays.num_nodes, arrays.num_commodities
    ends = np.stack((arrays.node_index(arrays.tails), arrays.node_index(arrays.heads)), axis=1).astype(np.int64) + 1
    shared = (arrays.capacities > 0).any(axis=1) if k else np.zeros(arrays.num_arcs, dtype=bool)
    pointers = np.where(shared, np.cumsum(shared), 0).astype(np.int64)
    bundled = np.flatnonzero(shared)
    with open(base + ".nod", "wb") as f:
        f.write(f"{k}\n{n}\n{arrays.num_arcs}\n{bundled.size}\n".encode())
    with open(base + ".arc", "wb") as f:
        _write_arcs(f, arrays, ends, pointers)
    node, com = np.nonzero(arrays.supplies)
    with open(base + ".sup", "wb") as f:
        _write_table(f, [node.astype(np.int64) + 1, com.astype(np.int64) + 1, arrays.supplies[node, com]])
    with open(base + ".mut", "wb") as f:
        _write_table(f, [pointers[bundled], arrays.up[bundled]])
    if write_map:
        with open(base + ".map", "wb") as f:
            _write_table(f, [np.arange(1, n + 1, dtype=np.int64), arrays.node_ids])
    return arrays.node_ids.copy()
