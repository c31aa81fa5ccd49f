"""Maximum flows of the check, in 64 bits: OR-Tools' SimpleMaxFlow, and what its residual graph
tells about every maximum flow (scipy's graph searches)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .arrays import DataSetArrays

Int64Array = npt.NDArray[np.int64]
IndexArray = npt.NDArray[np.intp]
INT64_MAX = 2**63 - 1


def exact_sum(values: Int64Array) -> int:
    """The sum as a Python integer, without the silent wrap-around of an int64 sum."""
    if values.size == 0 or float(np.abs(values.astype(np.float64)).sum()) < 2.0**62:
        return int(values.sum())
    return sum(int(v) for v in values.tolist())


@dataclass
class Network:
    """The node rows of every arc, computed once for all commodities."""

    tail: IndexArray
    head: IndexArray
    loop: npt.NDArray[np.bool_]


def network(arrays: DataSetArrays) -> Network:
    tail = arrays.node_index(arrays.tails)
    head = arrays.node_index(arrays.heads)
    return Network(tail, head, tail == head)


@dataclass
class Flow:
    value: int
    arcs: IndexArray  # the arcs in the flow graph, in its order
    sent: Int64Array  # flow on each of them
    given: Int64Array  # flow from the source into each giver
    taken: Int64Array  # flow from each taker into the sink
    front: npt.NDArray[np.bool_]  # nodes the source still reaches (the minimum cut's source side)
    graph: tuple[IndexArray, IndexArray, Int64Array]  # every arc of the flow graph: tail, head, capacity
    flows: Int64Array  # flow on every arc of the flow graph


def max_flow(
    n: int, net: Network, capacity: Int64Array, amounts: Int64Array, givers: IndexArray, takers: IndexArray, most: int
) -> Flow:
    try:
        from ortools.graph.python import max_flow as engine  # type: ignore[import-untyped]
    except ModuleNotFoundError as error:
        raise ModuleNotFoundError("the check needs ortools: pip install 'pelmora[solve]'") from error
    source, sink = n, n + 1
    arcs = np.flatnonzero((capacity > 0) & ~net.loop)
    # No arc carries more than the whole flow: clamping there changes no minimum cut and keeps
    # OR-Tools' sums of capacities inside 64 bits.
    bound = most + 1 if most < INT64_MAX else most
    tails = np.concatenate((net.tail[arcs], np.full(givers.size, source), takers))
    heads = np.concatenate((net.head[arcs], givers, np.full(takers.size, sink)))
    caps = np.concatenate((np.minimum(capacity[arcs], bound), amounts[givers], -amounts[takers]))
    solver = engine.SimpleMaxFlow()
    solver.add_arcs_with_capacity(tails, heads, caps)
    status = solver.solve(source, sink)
    if status != solver.OPTIMAL:
        raise RuntimeError(f"OR-Tools' maximum flow ended with status {status}")
    flows = np.asarray(solver.flows(np.arange(tails.size)), dtype=np.int64)
    front = np.zeros(n + 2, dtype=bool)
    front[np.asarray(solver.get_source_side_min_cut(), dtype=np.intp)] = True
    k = arcs.size
    return Flow(int(solver.optimal_flow()), arcs, flows[:k], flows[k : k + givers.size], flows[k + givers.size :],
                 front, (tails, heads, caps), flows)


def served_elsewhere(flow: Flow, n: int, end: int, ends: IndexArray, used: npt.NDArray[np.bool_]) -> npt.NDArray[np.bool_]:
    """For the nodes ``ends`` joined to the terminal ``end`` (the sink, or the source with the
    residual graph reversed), whether another maximum flow can move more through their terminal
    arc: a residual path from the terminal to the node other than back along the node's own arc.
    Such a path leaves the terminal through the arc of another node x that carries flow
    (``used``), so the node must be reachable from some x other than itself, the terminal left
    out. Within one strongly connected component every node reaches every other; between them,
    the question is whether an upstream component holds such an x."""
    from scipy.sparse.csgraph import breadth_first_order, connected_components  # type: ignore[import-untyped]

    tails, heads, caps = flow.graph
    forward, backward = flow.flows < caps, flow.flows > 0
    rows = np.concatenate((tails[forward], heads[backward]))
    cols = np.concatenate((heads[forward], tails[backward]))
    if end == n:  # towards the source: the same question on the reversed graph
        rows, cols = cols, rows
    keep = (rows != end) & (cols != end)
    rows, cols = rows[keep], cols[keep]
    count, label = connected_components(_adjacency(rows, cols, n + 2), directed=True, connection="strong")
    holders = np.zeros(count, dtype=np.int64)
    np.add.at(holders, label[ends[used]], 1)
    # Components reached from a holding component through at least one arc between components:
    # one search from an extra root joined to every component such an arc enters.
    from_label, to_label = label[rows], label[cols]
    between = from_label != to_label
    seeds = to_label[between & (holders[from_label] > 0)]
    upstream = np.zeros(count, dtype=bool)
    if seeds.size:
        meta_rows = np.concatenate((from_label[between], np.full(seeds.size, count)))
        meta_cols = np.concatenate((to_label[between], seeds))
        reached = breadth_first_order(_adjacency(meta_rows, meta_cols, count + 1), count, directed=True,
                                      return_predecessors=False)
        upstream[reached[1:]] = True
    mine = label[ends]
    elsewhere: npt.NDArray[np.bool_] = upstream[mine] | (holders[mine] - used.astype(np.int64) > 0)
    return elsewhere


def _adjacency(rows: IndexArray, cols: IndexArray, size: int) -> Any:
    """The arcs as a CSR matrix for scipy's graph searches, built by one counting sort (repeated
    arcs stay repeated, which a search does not mind)."""
    from scipy.sparse import csr_array  # type: ignore[import-untyped]

    order = np.argsort(rows, kind="stable")
    indptr = np.zeros(size + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=size), out=indptr[1:])
    return csr_array((np.ones(rows.size, dtype=np.int8), cols[order], indptr), shape=(size, size))
