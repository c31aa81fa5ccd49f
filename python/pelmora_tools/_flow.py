"""A feasible single-commodity flow of an instance, made unique so that any exact min-cost flow
solver returns the same one: the costs are scaled and a fixed tie-break is added, small enough
that every optimum of the perturbed costs is an optimum of the original ones."""

from __future__ import annotations

import multiprocessing
import multiprocessing.connection
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]
INT64_MAX = 2**63 - 1
# The largest tie-break tried; the magnitudes shrink it on large instances (down to none at all).
_TIE_BREAK = 2**20
# OR-Tools scales costs by the node count + 1 before checking its own range: kept below this.
_COST_ROOM = 2**62


class NoFeasibleFlow(Exception):
    """The instance has no flow meeting its supplies, demands and arc bounds."""


@dataclass(frozen=True)
class FlowProblem:
    """The instance with lower bounds shifted out: 0 <= x <= capacity, node positions 0..n-1."""

    tails: Int64Array
    heads: Int64Array
    capacity: Int64Array
    costs: Int64Array
    supplies: Int64Array
    low: Int64Array


def flow_problem(
    node_ids: Int64Array, tails: Int64Array, heads: Int64Array, low: Int64Array, up: Int64Array,
    costs: Int64Array, supplies: Int64Array,
) -> FlowProblem:
    """Checks the totals and shifts the lower bounds out. Raises ``ValueError`` for supplies that
    do not balance or totals past 2^63 - 1, :class:`NoFeasibleFlow` for an arc with low > up."""
    total = sum(int(s) for s in supplies[supplies > 0])
    balance = sum(int(s) for s in supplies)
    if balance != 0:
        raise ValueError(f"supplies do not balance: they add up to {balance}")
    lows = int(low[low > 0].sum(dtype=object)) if low.size else 0
    if total + lows > INT64_MAX:
        raise ValueError("the total supply and lower bounds pass 2^63 - 1")
    bad = np.flatnonzero(low > up)
    if bad.size:
        raise NoFeasibleFlow(f"arc {int(bad[0])} has a lower bound above its capacity")
    t = np.searchsorted(node_ids, tails)
    h = np.searchsorted(node_ids, heads)
    lo = np.maximum(low, 0)
    shifted = supplies.copy()
    np.subtract.at(shifted, t, lo)
    np.add.at(shifted, h, lo)
    # No arc of a min-cost flow needs more than all supply together, except around a negative
    # cycle, which the decomposition cancels anyway; solvers refuse capacities near 2^63.
    bound = max(int(shifted[shifted > 0].sum()), 1)
    capacity = np.clip(up - lo, 0, bound)
    return FlowProblem(t.astype(np.int64), h.astype(np.int64), capacity, costs, shifted, lo)


def _splitmix(positions: Int64Array) -> npt.NDArray[np.uint64]:
    z = positions.astype(np.uint64) + np.uint64(0x9E3779B97F4A7C15)
    with np.errstate(over="ignore"):
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return z ^ (z >> np.uint64(31))


def perturbed_costs(problem: FlowProblem, tie_break: int = _TIE_BREAK) -> Int64Array:
    """costs * M + r with r in [0, R) fixed per arc position and M = (R - 1) * U + 1, U the sum of
    the capacities: two flows differ by at most U units on all arcs, so the tie-break moves a
    cost by less than M and never reorders flows of different original cost. R is the largest
    power of two up to ``tie_break`` whose scaled costs keep every flow's cost, times the node
    count, inside int64."""
    caps = sum(int(c) for c in problem.capacity) if problem.capacity.size else 0
    worst = int(np.abs(problem.costs).max()) if problem.costs.size else 0
    n = problem.supplies.shape[0] + 1
    r = tie_break
    while r > 1:
        m = (r - 1) * caps + 1
        if (worst * m + r) * max(caps, 1) * n < _COST_ROOM:
            break
        r //= 2
    if r <= 1:
        return problem.costs.copy()
    m = (r - 1) * caps + 1
    noise = (_splitmix(np.arange(problem.costs.shape[0], dtype=np.int64)) % np.uint64(r)).astype(np.int64)
    return problem.costs * np.int64(m) + noise


def _ortools_child(conn: multiprocessing.connection.Connection) -> None:
    from ortools.graph.python import min_cost_flow  # type: ignore[import-untyped]

    tails, heads, capacity, costs, supplies = conn.recv()
    solver = min_cost_flow.SimpleMinCostFlow()
    if tails.size:
        solver.add_arcs_with_capacity_and_unit_cost(tails, heads, capacity, costs)
    # Nodes without arcs still count: their supplies must be met.
    solver.set_nodes_supplies(np.arange(supplies.shape[0]), supplies)
    status = solver.solve()
    flows = solver.flows(np.arange(tails.shape[0])) if status == solver.OPTIMAL else None
    conn.send((status.name if hasattr(status, "name") else str(status), flows))


def _solve_ortools(problem: FlowProblem, costs: Int64Array) -> tuple[str, Int64Array | None]:
    """OR-Tools' min-cost flow in a child process: its solve holds the interpreter lock, and a
    child can be stopped at once on Ctrl-C."""
    try:
        import ortools  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        raise ImportError("the feasible mode needs OR-Tools: pip install 'pelmora[feasible]'") from None
    context = multiprocessing.get_context("spawn")
    parent, child = context.Pipe()
    process = context.Process(target=_ortools_child, args=(child,), daemon=True)
    process.start()
    try:
        child.close()
        parent.send((problem.tails, problem.heads, problem.capacity, costs, problem.supplies))
        while not parent.poll(0.05):
            if not process.is_alive():
                raise RuntimeError("the min-cost flow solver ended without an answer")
        status, flows = parent.recv()
        return status, flows
    finally:
        parent.close()
        if process.is_alive():
            process.kill()
        process.join()


def _solve_networkx(problem: FlowProblem, costs: Int64Array) -> tuple[str, Int64Array | None]:
    """networkx's network simplex: a second, independent solver (slow; for checks)."""
    import networkx as nx  # type: ignore[import-untyped]

    graph: Any = nx.MultiDiGraph()
    for i, s in enumerate(problem.supplies.tolist()):
        graph.add_node(i, demand=-s)
    keys = []
    for t, h, c, w in zip(problem.tails.tolist(), problem.heads.tolist(), problem.capacity.tolist(), costs.tolist()):
        keys.append((t, h, graph.add_edge(t, h, capacity=c, weight=w)))
    try:
        _, flow = nx.network_simplex(graph)
    except nx.NetworkXUnfeasible:
        return "INFEASIBLE", None
    return "OPTIMAL", np.array([flow[t][h][k] for t, h, k in keys], dtype=np.int64)


SOLVERS = {"ortools": _solve_ortools, "networkx": _solve_networkx}


def feasible_flow(problem: FlowProblem, solver: str = "ortools") -> Int64Array:
    """The unique optimum of the perturbed costs, lower bounds added back. Raises
    :class:`NoFeasibleFlow` when there is no feasible flow."""
    solve = SOLVERS[solver]
    tie_break = _TIE_BREAK
    while True:
        status, flows = solve(problem, perturbed_costs(problem, tie_break))
        if status == "OPTIMAL" and flows is not None:
            return np.asarray(flows, dtype=np.int64) + problem.low
        if status in ("INFEASIBLE", "UNBALANCED"):
            raise NoFeasibleFlow("the instance has no feasible flow")
        if status == "BAD_COST_RANGE" and tie_break > 1:
            tie_break //= 256
            continue
        raise RuntimeError(f"the min-cost flow solver failed: {status}")
