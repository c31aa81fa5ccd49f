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


def _write_arcs(
    stream: BinaryIO, arrays: DataSetArrays, ends: npt.NDArray[np.int64], pointers: npt.NDArray[np.int64]
) -> None:
    m, k = arrays.num_arcs, arrays.num_commodities
    names = np.arange(1, m + 1, dtype=np.int64)
    w_name, w_end, w_ptr = _text.digit_width(names), _text.digit_width(ends), _text.digit_width(pointers)
    w_com, w_cost = _text.digit_width(np.array([k])), _text.digit_width(arrays.costs)
    w_cap = _text.digit_width(arrays.capacities)
    # The fields an arc's K lines share are written once per arc and copied to its lines.
    lead_width = w_name + 2 * w_end + 3
    commodity = _text.new_table(k, w_com + 1)
    _text.put_int(commodity, 0, w_com, np.arange(1, k + 1, dtype=np.int64))
    _text.put_bytes(commodity, w_com, b"\t")
    line_width = lead_width + w_com + w_cost + w_cap + w_ptr + 4
    step = max(1, _BLOCK_ROWS // max(k, 1))
    for first in range(0, m, step):
        block = slice(first, min(first + step, m))
        opened = arrays.capacities[block] > 0
        arc, com = np.nonzero(opened)
        if arc.size == 0:
            continue
        lead = _text.new_table(block.stop - block.start, lead_width)
        for start, width, values in ((0, w_name, names[block]), (w_name + 1, w_end, ends[block, 0]),
                                     (w_name + w_end + 2, w_end, ends[block, 1])):
            _text.put_int(lead, start, width, values)
            _text.put_bytes(lead, start + width, b"\t")
        tail = _text.new_table(block.stop - block.start, w_ptr + 2)
        _text.put_bytes(tail, 0, b"\t")
        _text.put_int(tail, 1, w_ptr, pointers[block])
        _text.put_bytes(tail, w_ptr + 1, b"\n")
        table = _text.new_table(arc.size, line_width)
        table[:, :lead_width] = lead[arc]
        at = lead_width
        table[:, at : at + w_com + 1] = commodity[com]
        at += w_com + 1
        _text.put_int(table, at, w_cost, arrays.costs[block][opened])
        _text.put_bytes(table, at + w_cost, b"\t")
        at += w_cost + 1
        _text.put_int(table, at, w_cap, arrays.capacities[block][opened])
        table[:, at + w_cap :] = tail[arc]
        _text.write_table(stream, table)


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
        columns = [node.astype(np.int64) + 1, com.astype(np.int64) + 1, arrays.supplies[node, com]]
        _text.write_columns(f, columns, _BLOCK_ROWS)
    with open(base + ".mut", "wb") as f:
        _text.write_columns(f, [pointers[bundled], arrays.up[bundled]], _BLOCK_ROWS)
    if write_map:
        with open(base + ".map", "wb") as f:
            _text.write_columns(f, [np.arange(1, n + 1, dtype=np.int64), arrays.node_ids], _BLOCK_ROWS)
    return arrays.node_ids.copy()
