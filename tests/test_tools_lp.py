"""The multicommodity LP against independent solvers: networkx's network simplex for one commodity
(and for any K on one source and one sink), GLPK's glpsol on the files HiGHS writes, networkx's
maximum flow for the per-commodity check."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import networkx as nx
import numpy as np
import pytest
from hypothesis import given, settings
from test_tools_export import data_sets

import pelmora
import pelmora_tools as pt

DATA = Path(__file__).parent / "data"


def network_simplex_optimum(path: Path) -> int:
    """Min-cost flow of a ".min" file by networkx, lower bounds shifted out of the arcs."""
    instance = pelmora.load_min_instance(str(path))
    graph = nx.MultiDiGraph()
    for node in instance.nodes:
        graph.add_node(node, demand=-instance.supplies.get(node, 0))
    fixed = 0
    for e in instance.edges:
        graph.add_edge(e.tail, e.head, capacity=e.up - e.low, weight=e.cost)
        graph.nodes[e.tail]["demand"] += e.low
        graph.nodes[e.head]["demand"] -= e.low
        fixed += e.low * e.cost
    return fixed + nx.network_simplex(graph)[0]


def check_flows(arrays: pt.DataSetArrays, result: pt.SolveResult) -> None:
    flows = result.flows
    assert flows is not None and flows.shape == (arrays.num_arcs, arrays.num_commodities)
    assert (flows >= -1e-7).all() and (flows <= arrays.capacities + 1e-7).all()
    assert ((flows.sum(axis=1) >= arrays.low - 1e-6) & (flows.sum(axis=1) <= arrays.up + 1e-6)).all()
    net = np.zeros(arrays.supplies.shape)
    np.add.at(net, arrays.node_index(arrays.tails), flows)
    np.subtract.at(net, arrays.node_index(arrays.heads), flows)
    np.testing.assert_allclose(net, arrays.supplies, atol=1e-6)
    assert float((flows * arrays.costs).sum()) == pytest.approx(result.objective, rel=1e-9, abs=1e-6)


@pytest.mark.parametrize(
    "name", ["glpk-sample.min", "own-net-parallel-300n-9000a.min", "lemon-delaunay-2000n.min"]
)
def test_one_commodity_optimum_is_the_min_cost_flow(name: str) -> None:
    arrays = pt.load_arrays(DATA / name)
    result = pt.solve(arrays, flows=True)
    assert result.status == "optimal"
    assert result.objective == pytest.approx(network_simplex_optimum(DATA / name), rel=1e-12)
    check_flows(arrays, result)
    report = pt.check_feasibility(arrays)
    assert report.feasible and report.bundled_status == "feasible"


@pytest.mark.parametrize("k", [2, 5])
@pytest.mark.parametrize("method", [0, 1, 2])
def test_one_source_one_sink_bundled_optimum_is_that_of_one_commodity(k: int, method: int) -> None:
    path = DATA / "glpk-sample.min"
    instance = pelmora.load_min_instance(str(path))
    data = pelmora.generate_multi_commodity_data(instance, k, method, seed=11)
    arrays = pt.arrays_from_data(instance, data)
    result = pt.solve(arrays, flows=True)
    assert result.status == "optimal"
    assert result.objective == pytest.approx(network_simplex_optimum(path))
    check_flows(arrays, result)


def glpsol_objective(model: Path, kind: str, tmp_path: Path) -> float | None:
    solution = tmp_path / "glpsol.txt"
    subprocess.run(["glpsol", kind, str(model), "-w", str(solution)], check=True, capture_output=True)
    status = next(line.split() for line in solution.read_text().splitlines() if line.startswith("s "))
    # "s bas ROWS COLS PRIMAL DUAL OBJECTIVE": primal status "f" is feasible (optimal with dual "f").
    return float(status[6]) if status[1] == "bas" and status[4:6] == ["f", "f"] else None


@pytest.mark.skipif(shutil.which("glpsol") is None, reason="glpsol (Debian glpk-utils) is not installed")
@pytest.mark.parametrize("suffix, kind", [(".mps", "--freemps"), (".lp", "--lp")])
@pytest.mark.parametrize("bundle", [True, False])
def test_glpk_solves_the_written_model_to_the_same_optimum(tmp_path: Path, suffix: str, kind: str, bundle: bool) -> None:
    instance = pelmora.load_min_instance(str(DATA / "own-net-parallel-300n-9000a.min"))
    data = pelmora.generate_multi_commodity_data(instance, 2, 0, randomize_caps=True, randomize_costs=True, seed=3)
    arrays = pt.arrays_from_data(instance, data)
    ours = pt.solve(arrays, bundle=bundle)
    model = tmp_path / f"model{suffix}"
    pt.write_model(arrays, model, bundle=bundle)
    assert ours.status == "optimal"
    assert glpsol_objective(model, kind, tmp_path) == pytest.approx(ours.objective, rel=1e-9)


def test_infeasible_commodities_show_the_max_flow_shortfall() -> None:
    instance = pelmora.load_min_instance(str(DATA / "own-net-5000n-12500a.min"))
    data = pelmora.generate_multi_commodity_data(instance, 2, 0, cap_zero=True, cap_zero_param=0.1, seed=5)
    arrays = pt.arrays_from_data(instance, data)
    assert pt.solve(arrays).status == "infeasible"
    report = pt.check_feasibility(arrays)
    assert not report.feasible and report.bundled_status == "infeasible"
    assert report.to_dict()["feasible"] is False and "infeasible" in report.summary()
    for check in report.commodities:
        c = check.commodity - 1
        graph = nx.DiGraph()
        for a in np.flatnonzero(arrays.capacities[:, c] > 0):
            tail, head = int(arrays.tails[a]), int(arrays.heads[a])
            previous = graph.get_edge_data(tail, head, {"capacity": 0})["capacity"]
            graph.add_edge(tail, head, capacity=previous + int(arrays.capacities[a, c]))
        demand = 0
        for node, amount in zip(arrays.node_ids.tolist(), arrays.supplies[:, c].tolist()):
            if amount > 0:
                graph.add_edge("s", node, capacity=amount)
            elif amount < 0:
                graph.add_edge(node, "t", capacity=-amount)
                demand -= amount
        short = demand - nx.maximum_flow_value(graph, "s", "t")
        assert check.feasible == (short == 0)
        assert sum(s for _, s in check.unserved if s > 0) == short
        assert all(arrays.supplies[arrays.node_index(np.array([node]))[0], c] < 0 for node, s in check.unserved if s > 0)


def test_commodities_that_fit_alone_but_not_together() -> None:
    # Two commodities of 6 units each on one arc whose mutual capacity is 10.
    arrays = pt.DataSetArrays(
        np.array([1, 2]), np.array([1]), np.array([2]), np.array([0]), np.array([10]),
        np.array([[1, 1]]), np.array([[10, 10]]), np.array([[6, 6], [-6, -6]]),
    )  # fmt: skip
    report = pt.check_feasibility(arrays)
    assert [c.feasible for c in report.commodities] == [True, True]
    assert report.bundled_status == "infeasible" and not report.feasible
    assert pt.solve(arrays).status == "infeasible"
    assert pt.solve(arrays, bundle=False).objective == 12
    assert pt.check_feasibility(arrays, bundled=False).feasible


@settings(max_examples=80, deadline=None)
@given(arrays=data_sets(lows=True))
def test_the_check_agrees_with_the_lp(arrays: pt.DataSetArrays) -> None:
    # Without bundle rows the commodities are independent, so routing each alone decides the LP;
    # with them the check adds the bundled model's own status. One commodity routed alone
    # honours the lower bounds, which then bind it.
    alone = pt.check_feasibility(arrays, bundled=False)
    assert alone.feasible == (pt.solve(arrays, bundle=False).status == "optimal")
    assert alone.bundled_status is None
    bundled = pt.check_feasibility(arrays)
    assert bundled.feasible == (pt.solve(arrays).status == "optimal")
    if arrays.num_commodities == 1 and not bundled.feasible:
        assert not bundled.commodities[0].feasible
    for c in alone.commodities:
        assert c.feasible == (not c.unserved)


def test_a_solve_cut_short_says_so() -> None:
    instance = pelmora.load_min_instance(str(DATA / "own-net-parallel-300n-9000a.min"))
    arrays = pt.arrays_from_data(instance, pelmora.generate_multi_commodity_data(instance, 2, 0, seed=3))
    stopped = pt.solve(arrays, time_limit=1e-9, flows=True)
    assert (stopped.status, stopped.objective, stopped.flows) == ("time-limit", None, None)
    report = pt.check_feasibility(arrays, time_limit=1e-9)
    assert report.bundled_status == "time-limit" and not report.feasible
    with pytest.raises(ValueError, match="time limit must be positive"):
        pt.solve(arrays, time_limit=0)
