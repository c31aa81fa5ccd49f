"""The solvability check against independent references: HiGHS's LP for the verdict, networkx's
maximum flows for what each commodity routes and which nodes are short in every maximum flow, and
the reported cut checked as a certificate from the data set's own numbers."""

from __future__ import annotations

from pathlib import Path
from unittest import mock

import networkx as nx
import numpy as np
import pytest
from hypothesis import given, settings
from test_tools_export import data_sets

import pelmora
import pelmora_tools as pt
from pelmora_tools.check import CommodityCheck

LP_VERDICT = {"optimal": "feasible", "infeasible": "infeasible"}


def flow_graph(arrays: pt.DataSetArrays, c: int, capacity: np.ndarray) -> nx.DiGraph:
    graph = nx.DiGraph()
    graph.add_nodes_from(["s", "t", *arrays.node_ids.tolist()])
    for tail, head, cap in zip(arrays.tails.tolist(), arrays.heads.tolist(), capacity.tolist()):
        if tail != head and cap > 0:
            graph.add_edge(tail, head, capacity=graph.get_edge_data(tail, head, {"capacity": 0})["capacity"] + cap)
    for node, amount in zip(arrays.node_ids.tolist(), arrays.supplies[:, c].tolist()):
        if amount:
            graph.add_edge(*(("s", node) if amount > 0 else (node, "t")), capacity=abs(amount))
    return graph


def without(graph: nx.DiGraph, end: str) -> nx.DiGraph:
    cut = graph.copy()
    cut.remove_edges_from(list(cut.in_edges(end) if end == "t" else cut.out_edges(end)))
    return cut


def assert_matches_networkx(arrays: pt.DataSetArrays, check: CommodityCheck, capacity: np.ndarray) -> None:
    """The most any maximum flow can bring a demand node is what the source can send it with the
    sink's arcs left out (augmenting paths never take flow back from the sink), so the node is
    short in every maximum flow by what that leaves missing; a supply node alike towards the sink.
    The check names only nodes whose shortfall no maximum flow reduces, so each named node is short
    in every maximum flow by exactly what it is named with."""
    c = check.commodity
    assert c is not None
    graph = flow_graph(arrays, c, capacity)
    value = nx.maximum_flow_value(graph, "s", "t")
    amounts = dict(zip(arrays.node_ids.tolist(), arrays.supplies[:, c].tolist()))
    demand, supply = -sum(min(a, 0) for a in amounts.values()), sum(max(a, 0) for a in amounts.values())
    assert check.feasible == (value == demand == supply)
    assert (check.shortfall, check.stuck) == (demand - value, supply - value)
    no_sink, no_source = without(graph, "t"), without(graph, "s")
    short = {v: -a - min(-a, nx.maximum_flow_value(no_sink, "s", v)) for v, a in amounts.items() if a < 0}
    stuck = {u: a - min(a, nx.maximum_flow_value(no_source, u, "t")) for u, a in amounts.items() if a > 0}
    assert all(short[v] == lack > 0 for v, lack in check.short_demand)
    assert all(stuck[u] == kept > 0 for u, kept in check.stuck_supply)
    if check.feasible:
        return
    # The cut as a certificate: exactly the arcs from the front into the nodes behind, what the open
    # ones carry and the net demand behind leave the shortfall unmet whatever the flow.
    cut = check.cut
    assert cut is not None
    behind = set(cut.behind)
    crossing = {a for a, (t, h) in enumerate(zip(arrays.tails.tolist(), arrays.heads.tolist()))
                if t not in behind and h in behind}
    assert {a for a, _, _ in cut.saturated} | {a for a, _, _ in cut.closed} == crossing
    assert all(capacity[a] == 0 for a, _, _ in cut.closed) and all(capacity[a] > 0 for a, _, _ in cut.saturated)
    assert cut.capacity == sum(int(capacity[a]) for a, _, _ in cut.saturated)
    assert cut.demand == -sum(amounts[v] for v in behind)
    assert cut.demand - cut.capacity == check.shortfall
    assert sum(max(amounts[v], 0) for v in amounts if v not in behind) - sum(
        -min(amounts[v], 0) for v in amounts if v not in behind) - cut.capacity == check.stuck


@settings(max_examples=80, deadline=None)
@given(arrays=data_sets(lows=True))
def test_the_check_agrees_with_the_lp_and_networkx(arrays: pt.DataSetArrays) -> None:
    with mock.patch("pelmora_tools._bounds._BLOCK_VALUES", 3):  # capacities summed over several blocks of arcs
        agrees_with_the_lp_and_networkx(arrays)


def agrees_with_the_lp_and_networkx(arrays: pt.DataSetArrays) -> None:
    # Without bundle rows the commodities are independent: routing each alone decides the LP.
    alone = pt.check_feasibility(arrays, bundled=False)
    assert alone.verdict == LP_VERDICT[pt.solve(arrays, bundle=False).status] and alone.bundled_status is None
    for check in alone.commodities:
        assert_matches_networkx(arrays, check, arrays.capacities[:, check.commodity])
    bundled_lp = LP_VERDICT[pt.solve(arrays).status]
    assert pt.check_feasibility(arrays).verdict == bundled_lp
    assert pt.check_feasibility(arrays, solve=False).verdict in (bundled_lp, "undecided")
    if arrays.num_commodities > 1:  # each commodity through min(capacity, up)
        for check in pt.check_feasibility(arrays).commodities:
            assert_matches_networkx(arrays, check, np.minimum(arrays.capacities[:, check.commodity], arrays.up))


def two_node(up: int, caps: list[list[int]], amounts: list[int], arcs: int = 1, low: int = 0) -> pt.DataSetArrays:
    """``arcs`` parallel arcs from node 1 to node 2; each commodity's amount leaves 1 for 2."""
    k = len(amounts)
    return pt.DataSetArrays(
        np.array([1, 2]), np.ones(arcs, np.int64), np.full(arcs, 2), np.full(arcs, low), np.full(arcs, up),
        np.ones((arcs, k), np.int64), np.array(caps * arcs, np.int64).reshape(arcs, k),
        np.array([amounts, [-a for a in amounts]], np.int64),
    )  # fmt: skip


@pytest.mark.parametrize(
    "arrays, shortfalls, bundled_by",
    [
        # 1,000 parallel arcs of 3,000,000 carry 2e9 together (more than 32 bits hold).
        (two_node(3_000_000, [[3_000_000]], [2 * 10**9], arcs=1000), [0], "exact"),
        # Supplies past 2^31, one commodity held to 2e9 by its own capacity.
        (two_node(10**10, [[4 * 10**9, 2 * 10**9]], [3 * 10**9, 3 * 10**9]), [0, 10**9], "alone"),
        # Each commodity fits its own capacity but not the arcs' mutual capacity up.
        (two_node(5, [[10, 10]], [6, 4]), [1, 0], "alone"),
        # Each fits alone, together they pass up: the commodities summed say so without a solve.
        (two_node(10, [[10, 10]], [6, 6]), [0, 0], "summed"),
        # Capacities that never sum past up: the bundle rows cannot bind.
        (two_node(20, [[10, 10]], [6, 6]), [0, 0], "never-bind"),
        # A lower bound below zero allows no flow against the arc: flows are never negative.
        (two_node(20, [[10]], [-5], low=-5), [5], "exact"),
        (two_node(20, [[10, 10]], [6, 6], low=-5), [0, 0], "never-bind"),
    ],
)
def test_large_numbers_and_the_bundle(arrays: pt.DataSetArrays, shortfalls: list[int], bundled_by: str) -> None:
    report = pt.check_feasibility(arrays)
    assert report.verdict == LP_VERDICT[pt.solve(arrays).status]
    assert [c.shortfall for c in report.commodities] == shortfalls and report.bundled_by == bundled_by
    assert report.solved is None  # decided without the LP


def crossing_pair() -> pt.DataSetArrays:
    """Commodity 0 from node 1 to 2 and commodity 1 from 3 to 4, both only through the arc 5->6 of
    up 1; summed, the supplies could swap their demand nodes through the arcs 1->4 and 3->2."""
    tails, heads = [1, 3, 5, 6, 6, 1, 3], [5, 5, 6, 2, 4, 4, 2]
    m = len(tails)
    return pt.DataSetArrays(
        np.arange(1, 7), np.array(tails), np.array(heads), np.zeros(m, np.int64), np.array([9, 9, 1, 9, 9, 9, 9]),
        np.ones((m, 2), np.int64), np.full((m, 2), 9),
        np.array([[1, 0], [-1, 0], [0, 1], [0, -1], [0, 0], [0, 0]]),
    )  # fmt: skip


def test_the_bundle_left_open_is_solved_or_undecided() -> None:
    arrays = crossing_pair()
    assert pt.check_feasibility(arrays, bundled=False).feasible
    solved = pt.check_feasibility(arrays)
    assert (solved.verdict, solved.bundled_by) == ("infeasible", "solve") and solved.together is not None
    assert solved.together.feasible and solved.solved is not None and solved.solved.status == "infeasible"
    cheap = pt.check_feasibility(arrays, solve=False)
    assert (cheap.verdict, cheap.bundled_status, cheap.solved) == ("undecided", "undecided", None)


def test_a_time_limit_leaves_the_check_undecided() -> None:
    instance = pelmora.load_min_instance(str(Path(__file__).parent / "data" / "own-grid-40x40.min"))
    data = pelmora.generate_multi_commodity_data(instance, 20, 0, randomize_caps=True, randomize_costs=True, seed=7)
    arrays = pt.arrays_from_data(instance, data)
    stopped = pt.check_feasibility(arrays, time_limit=0.5)  # the cheap steps pass; the solve does not end
    assert (stopped.verdict, stopped.bundled_status, stopped.bundled_by) == ("undecided", "time-limit", "solve")
    early = pt.check_feasibility(arrays, time_limit=1e-12)
    assert early.verdict == "undecided" and all(c.feasible is None for c in early.commodities)
    with pytest.raises(ValueError, match="time limit must be positive"):
        pt.check_feasibility(arrays, time_limit=0)


def test_totals_past_64_bits_are_undecided_and_say_so() -> None:
    arrays = pt.DataSetArrays(
        np.array([1, 2, 3]), np.array([1, 2]), np.array([3, 3]), np.zeros(2, np.int64), np.full(2, 2**62),
        np.ones((2, 1), np.int64), np.full((2, 1), 2**62), np.array([[2**62], [2**62], [-(2**63)]]),
    )  # fmt: skip
    report = pt.check_feasibility(arrays, bundled=False)
    assert report.verdict == "undecided" and "2^63" in (report.commodities[0].note or "")
    assert "not routed (its total supply or demand passes 2^63 - 1)" in report.summary()


def test_a_verified_certificate_decides_the_bundle_without_a_solve() -> None:
    instance = pelmora.load_min_instance(str(Path(__file__).parent / "data" / "glpk-sample.min"))
    made = pt.generate_feasible(instance, 3, "spread", seed=2, tightness=1.0)
    assert pt.verify_certificate(made.arrays, made.certificate) is None
    solved, certified = pt.check_feasibility(made.arrays), pt.check_feasibility(made.arrays, certified=True)
    assert solved.verdict == certified.verdict == "feasible" and solved.bundled_by == "solve"
    assert (certified.bundled_by, certified.solved) == ("certificate", None)
    assert [c.feasible for c in certified.commodities] == [c.feasible for c in solved.commodities]
