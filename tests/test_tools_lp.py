"""The multicommodity LP against independent solvers: networkx's network simplex for one commodity
(and for any K on one source and one sink), GLPK's glpsol on the files HiGHS writes; and how a
solve and a model file behave when things go wrong: Ctrl-C, a full disk, solves in threads."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path

import networkx as nx
import numpy as np
import pytest
from cli_support import SOLVE_ANNOUNCED

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
@pytest.mark.parametrize("writer", ["native", "highs"])
def test_glpk_solves_the_written_model_to_the_same_optimum(
    tmp_path: Path, suffix: str, kind: str, bundle: bool, writer: str
) -> None:
    instance = pelmora.load_min_instance(str(DATA / "own-net-parallel-300n-9000a.min"))
    data = pelmora.generate_multi_commodity_data(instance, 2, 0, randomize_caps=True, randomize_costs=True, seed=3)
    arrays = pt.arrays_from_data(instance, data)
    ours = pt.solve(arrays, bundle=bundle)
    model = tmp_path / f"model{suffix}"
    pt.write_model(arrays, model, bundle=bundle, writer=writer)
    assert ours.status == "optimal"
    assert glpsol_objective(model, kind, tmp_path) == pytest.approx(ours.objective, rel=1e-9)


def test_a_solve_cut_short_says_so() -> None:
    instance = pelmora.load_min_instance(str(DATA / "own-net-parallel-300n-9000a.min"))
    arrays = pt.arrays_from_data(instance, pelmora.generate_multi_commodity_data(instance, 2, 0, seed=3))
    stopped = pt.solve(arrays, time_limit=1e-9, flows=True)
    assert (stopped.status, stopped.objective, stopped.flows) == ("time-limit", None, None)
    with pytest.raises(ValueError, match="time limit must be positive"):
        pt.solve(arrays, time_limit=0)


SCRIPT_HEAD = """
import json, sys, time, resource
import pelmora, pelmora_tools as pt
instance = pelmora.load_min_instance(sys.argv[1])
data = pelmora.generate_multi_commodity_data(instance, 20, 0, randomize_caps=True, randomize_costs=True, seed=7)
arrays = pt.arrays_from_data(instance, data)
"""


def test_ctrl_c_stops_a_solve_with_status_interrupted() -> None:
    # Uninterrupted, this solve runs for minutes; the 60 s bound only keeps a broken build from hanging.
    script = SOLVE_ANNOUNCED + SCRIPT_HEAD + "print(json.dumps(pt.solve(arrays).to_dict()), flush=True)\n"
    child = subprocess.Popen([sys.executable, "-c", script, str(DATA / "own-grid-40x40.min")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stderr is not None
    assert child.stderr.readline() == "solving\n"  # HiGHS is at work
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=600)
    assert child.returncode == 0 and '"status": "interrupted"' in out


def test_solves_in_threads_agree_with_one_alone() -> None:
    # Nothing process-wide happens around a solve, so solves may run side by side.
    instance = pelmora.load_min_instance(str(DATA / "own-net-parallel-300n-9000a.min"))
    sets = [pt.arrays_from_data(instance, pelmora.generate_multi_commodity_data(instance, 2, 0, seed=s)) for s in (1, 2)]
    alone = [pt.solve(arrays).objective for arrays in sets]
    together: dict[int, float | None] = {}
    threads = [threading.Thread(target=lambda i=i: together.__setitem__(i, pt.solve(sets[i]).objective)) for i in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [together[0], together[1]] == alone


@pytest.mark.parametrize("suffix", [".mps", ".lp"])
@pytest.mark.parametrize("fault", ["file size limit", "full device"])
@pytest.mark.parametrize("writer", ["native", "highs"])
def test_a_model_not_written_whole_is_an_error_and_leaves_nothing(
    tmp_path: Path, suffix: str, fault: str, writer: str
) -> None:
    target = tmp_path / f"model{suffix}"
    if fault == "full device":
        target.symlink_to("/dev/full")
        limit = "resource.RLIM_INFINITY"
    else:
        target.write_text("what was there before\n")
        limit = "100_000"  # bytes a file of this process may reach; the model passes it
    script = SCRIPT_HEAD + f"resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))\n" + (
        "try:\n    pt.write_model(arrays, sys.argv[2], writer=sys.argv[3])\nexcept OSError as error:\n"
        "    print('OSError', error)\n")
    done = subprocess.run([sys.executable, "-c", script, str(DATA / "own-grid-40x40.min"), str(target), writer],
                          capture_output=True, text=True, timeout=600)
    last = done.stdout.splitlines()[-1]  # after HiGHS's banner
    assert last.startswith("OSError") and str(target) in last, done.stdout + done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == [target.name]
    if fault == "file size limit":
        assert target.read_text() == "what was there before\n"


def test_a_model_written_whole_replaces_the_target(tmp_path: Path) -> None:
    arrays = pt.load_arrays(DATA / "glpk-sample.min")
    target = tmp_path / "model.MPS"
    target.write_text("old")
    previous = os.umask(0o022)
    try:
        pt.write_model(arrays, target)
    finally:
        os.umask(previous)
    assert target.read_text().rstrip().endswith("ENDATA") and (target.stat().st_mode & 0o777) == 0o644
    assert [p.name for p in tmp_path.iterdir()] == ["model.MPS"]


def test_presolve_skips_only_the_dependent_equations_search(tmp_path: Path) -> None:
    # The rule is switched off by its bit, whose numbering is HiGHS's: its log names the rule.
    highs = pt.build_model(pt.load_arrays(DATA / "glpk-sample.min"))
    log = tmp_path / "highs.log"
    for option, value in (("output_flag", True), ("log_to_console", False), ("log_file", str(log))):
        highs.setOptionValue(option, value)
    highs.presolve()
    lines = log.read_text().splitlines()
    start = lines.index("Presolve rules switched off:") + 1
    off = [line.split(": ", 1)[1] for line in lines[start:] if line.lstrip().startswith("Rule ")]
    assert off == ["Dependent equations"]
