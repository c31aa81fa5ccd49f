"""A min-cost flow of an instance, made unique so that any exact min-cost flow solver returns the
same one (see feasible_flow)."""

from __future__ import annotations

import contextlib
import os
import signal
import subprocess
import sys
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass
from multiprocessing.connection import Connection
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _native

Int64Array = npt.NDArray[np.int64]
INT64_MAX = 2**63 - 1
# The largest tie-breaking cost; large totals of capacity shrink it.
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
    room: Int64Array  # up - low: capacity is room clamped to the total supply


def flow_problem(
    node_ids: Int64Array,
    tails: Int64Array,
    heads: Int64Array,
    low: Int64Array,
    up: Int64Array,
    costs: Int64Array,
    supplies: Int64Array,
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
    # cycle (feasible_flow widens the clamp then); solvers refuse capacities near 2^63.
    bound = max(int(shifted[shifted > 0].sum()), 1)
    room = np.maximum(up - lo, 0)
    return FlowProblem(t.astype(np.int64), h.astype(np.int64), np.minimum(room, bound), costs, shifted, lo, room)


def _splitmix(positions: Int64Array) -> npt.NDArray[np.uint64]:
    z = positions.astype(np.uint64) + np.uint64(0x9E3779B97F4A7C15)
    with np.errstate(over="ignore"):
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return z ^ (z >> np.uint64(31))


def tie_break_costs(positions: Int64Array, capacity_total: int, nodes: int) -> Int64Array:
    """Costs in [1, R], fixed per arc position, R as large as keeps any flow's cost times the
    node count (OR-Tools scales costs by it) inside int64, at most 2^20."""
    r = _TIE_BREAK
    while r > 1 and r * max(capacity_total, 1) * (nodes + 1) >= _COST_ROOM:
        r //= 2
    return (_splitmix(positions) % np.uint64(r)).astype(np.int64) + 1


Solve = Callable[[Int64Array, Int64Array, Int64Array, Int64Array, Int64Array], Int64Array | None]


def _ortools_solve(problem: tuple[Int64Array, ...]) -> tuple[str, Int64Array | None]:
    from ortools.graph.python import min_cost_flow  # type: ignore[import-untyped]

    tails, heads, capacity, costs, supplies = problem
    solver = min_cost_flow.SimpleMinCostFlow()
    if tails.size:
        solver.add_arcs_with_capacity_and_unit_cost(tails, heads, capacity, costs)
    # Nodes without arcs still count: their supplies must be met.
    solver.set_nodes_supplies(np.arange(supplies.shape[0]), supplies)
    status = solver.solve()
    flows = solver.flows(np.arange(tails.shape[0])) if status == solver.OPTIMAL else None
    return status.name, flows


def serve() -> None:
    """The child's loop: problems in on standard input, answers out on standard output, until
    the parent closes its end."""
    # Ctrl-C reaches the whole process group: the parent decides, and kills this process.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    reader = Connection(os.dup(0), writable=False)
    writer = Connection(os.dup(1), readable=False)
    os.dup2(2, 1)  # whatever the solver prints goes to standard error, never into the answers
    while True:
        try:
            problem = reader.recv()
        except EOFError:
            return
        writer.send(_ortools_solve(problem))


def _answer(status: str, flows: Int64Array | None) -> Int64Array | None:
    if status in ("INFEASIBLE", "UNBALANCED"):
        return None
    if status != "OPTIMAL" or flows is None:
        raise RuntimeError(f"the min-cost flow solver failed: {status}")
    return np.asarray(flows, dtype=np.int64)


@contextmanager
def _ortools() -> Iterator[Solve]:
    """OR-Tools' min-cost flow in a child interpreter: its solve holds the interpreter lock, and a
    child can be stopped at once on Ctrl-C (the wait polls every 50 ms). A plain subprocess, not
    multiprocessing: that would import the caller's main module again in the child."""
    try:
        import ortools  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        raise ImportError("the feasible mode needs OR-Tools: pip install 'pelmora[feasible]'") from None
    command = [sys.executable, "-c", "from pelmora_tools._min_cost_flow import serve; serve()"]
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert process.stdin is not None and process.stdout is not None
    writer = Connection(os.dup(process.stdin.fileno()), readable=False)
    reader = Connection(os.dup(process.stdout.fileno()), writable=False)
    process.stdin.close()
    process.stdout.close()

    def solve(*problem: Int64Array) -> Int64Array | None:
        writer.send(problem)
        while not reader.poll(0.05):
            if process.poll() is not None:
                raise RuntimeError("the min-cost flow solver ended without an answer")
        status, flows = reader.recv()
        return _answer(status, flows)

    try:
        yield solve
        writer.close()
        # The answers are in: a child slow to leave (a loaded machine) is killed below, not waited on.
        with contextlib.suppress(subprocess.TimeoutExpired):
            process.wait(timeout=1.0)
    finally:  # stopped (Ctrl-C) or failed: the child may be mid-solve, so it is killed at once
        writer.close()
        reader.close()
        if process.poll() is None:
            process.kill()
        process.wait()


@contextmanager
def _networkx() -> Iterator[Solve]:
    """networkx's network simplex: a second, independent solver (slow; for checks)."""
    import networkx as nx  # type: ignore[import-untyped]

    def solve(
        tails: Int64Array, heads: Int64Array, capacity: Int64Array, costs: Int64Array, supplies: Int64Array
    ) -> Int64Array | None:
        graph: Any = nx.MultiDiGraph()
        for i, s in enumerate(supplies.tolist()):
            graph.add_node(i, demand=-s)
        keys = [
            (t, h, graph.add_edge(t, h, capacity=c, weight=w))
            for t, h, c, w in zip(tails.tolist(), heads.tolist(), capacity.tolist(), costs.tolist())
        ]
        try:
            _, flow = nx.network_simplex(graph)
        except nx.NetworkXUnfeasible:
            return None
        return np.array([flow[t][h][k] for t, h, k in keys], dtype=np.int64)

    yield solve


SOLVERS: dict[str, Callable[[], AbstractContextManager[Solve]]] = {"ortools": _ortools, "networkx": _networkx}


def feasible_flow(problem: FlowProblem, solver: str = "ortools") -> Int64Array:
    """A min-cost flow of the instance, the same whichever exact solver computes it, lower bounds
    added back. Raises :class:`NoFeasibleFlow` when there is no feasible flow.

    Solvers return different optima at equal cost. So the first solve's optimum only yields node
    potentials (shortest distances in its residual graph); by complementary slackness their
    reduced costs fix every arc whose flow is the same in all optima (positive: empty, negative:
    full), and whatever flow the free arcs carry, the whole is an optimum. Conservation fixes the
    free arcs outside cycles; a second solve over the cycles left breaks the ties among them with
    small costs fixed per arc position. The potentials are taken against the arcs' own capacities,
    so a clamp (FlowProblem.capacity) that hides a negative cycle is found and widened."""
    p = problem
    n = p.supplies.shape[0]
    capacity = p.capacity
    with SOLVERS[solver]() as solve:
        while True:
            first = solve(p.tails, p.heads, capacity, p.costs, p.supplies)
            if first is None:
                raise NoFeasibleFlow("the instance has no feasible flow")
            # Optimal against the arcs' own capacities, not only the clamped ones?
            column = _native.potentials(n, p.tails, p.heads, p.room, p.costs, first)
            if column is not None:
                break
            # The clamp hid a negative cycle: every clamp doubled (the same whichever optimum the
            # solver returned, as its cost tells whether the clamps hide one), and solved again.
            clamped = capacity < p.room
            if not clamped.any():
                raise RuntimeError("the min-cost flow solver returned a flow that is not optimal")
            capacity = capacity + np.minimum(capacity, p.room - capacity)
        potential = np.frombuffer(column, dtype=np.int64)
        reduced = p.costs + potential[p.tails] - potential[p.heads]
        full = reduced < 0
        free = np.flatnonzero(reduced == 0)
        supplies = p.supplies.copy()
        np.subtract.at(supplies, p.tails[full], capacity[full])
        np.add.at(supplies, p.heads[full], capacity[full])
        flow = np.where(full, capacity, 0)
        # Conservation alone fixes the free arcs outside cycles; only the cycles need the second solve.
        forced, rest = (
            np.frombuffer(c, dtype=np.int64) for c in _native.peel(n, p.tails[free], p.heads[free], supplies)
        )
        flow[free] = forced
        arcs = free[forced < 0]
        if arcs.size:
            nodes, ends = np.unique(np.concatenate([p.tails[arcs], p.heads[arcs]]), return_inverse=True)
            ties = tie_break_costs(arcs, sum(int(c) for c in capacity[arcs]), nodes.shape[0])
            second = solve(ends[: arcs.size], ends[arcs.size :], capacity[arcs], ties, rest[nodes])
            if second is None:
                raise RuntimeError("the min-cost flow solver found no flow on the optimal arcs")
            flow[arcs] = second
    return flow + p.low
