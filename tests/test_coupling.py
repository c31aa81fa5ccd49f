"""The coupling report against references built here: each commodity routed alone by networkx's
network simplex (the LP without bundle rows falls apart into K min-cost flows), scipy's HiGHS LP
with the bundle rows, and complementary slackness between the rows counted."""

from __future__ import annotations

import csv
import json
from pathlib import Path

import networkx as nx
import numpy as np
import pytest
from cli_support import DATA, pelmora_run
from test_feasible import lp_optimum

import pelmora
import pelmora_tools as pt


def independent_optimum(arrays: pt.DataSetArrays) -> int:
    """The commodities routed one by one, each a min-cost flow of its own capacities and costs."""
    total = 0
    for k in range(arrays.num_commodities):
        graph = nx.MultiDiGraph()
        for node, supply in zip(arrays.node_ids.tolist(), arrays.supplies[:, k].tolist()):
            graph.add_node(node, demand=-supply)
        for t, h, cap, cost in zip(arrays.tails.tolist(), arrays.heads.tolist(), arrays.capacities[:, k].tolist(),
                                   arrays.costs[:, k].tolist()):
            graph.add_edge(t, h, capacity=cap, weight=cost)
        total += nx.network_simplex(graph)[0]
    return total


@pytest.mark.parametrize(("name", "tightness"), [("glpk-sample.min", 0.0), ("own-net-parallel-300n-9000a.min", 1.0)])
def test_the_report_against_the_two_lps(name: str, tightness: float) -> None:
    instance = pelmora.load_min_instance(str(DATA / name))
    made = pt.generate_feasible(instance, 3, "spread", seed=4, costs=(0.5, 1.5), tightness=tightness)
    report = pt.coupling(made.arrays)
    bundled, independent = lp_optimum(made.arrays), independent_optimum(made.arrays)
    assert report.bundled.objective == pytest.approx(bundled, rel=1e-9)
    assert report.independent.objective == pytest.approx(independent, rel=1e-9)
    assert report.gap == pytest.approx((bundled - independent) / abs(independent), abs=1e-9)
    assert report.binding is not None and report.priced is not None
    # A row with a non-zero dual is binding (complementary slackness), and without one the bundle
    # rows change nothing.
    assert report.priced <= report.binding <= made.arrays.num_arcs
    assert (report.priced > 0) == (report.gap > 1e-9)
    assert report.iterations_bundled >= 0 and report.iterations_independent >= 0
    if tightness == 1.0:  # every used arc's up at its certified total: some rows bind
        assert report.binding > 0


def test_solve_coupling_on_the_command_line(tmp_path: Path) -> None:
    instance = pelmora.load_min_instance(str(DATA / "glpk-sample.min"))
    made = pt.generate_feasible(instance, 2, "uniform", seed=1, costs=(0.5, 1.5), tightness=1.0)
    made.save(tmp_path / "c.mcf")
    done = pelmora_run("solve", tmp_path / "c.mcf", "--coupling", "--json")
    assert done.returncode == 0, done.stderr
    told = json.loads(done.stdout)["coupling"]
    report = pt.coupling(made.arrays)
    assert told["bundled"]["objective"] == report.bundled.objective == json.loads(done.stdout)["objective"]
    assert told["independent"]["objective"] == report.independent.objective
    assert (told["gap"], told["binding_rows"], told["priced_rows"]) == (report.gap, report.binding, report.priced)
    assert told["binding_share"] == pytest.approx(report.binding / made.arrays.num_arcs)
    text = pelmora_run("solve", tmp_path / "c.mcf", "--coupling")
    assert "coupling gap" in text.stdout and "bundle rows binding" in text.stdout
    refused = pelmora_run("solve", tmp_path / "c.mcf", "--coupling", "--no-bundle")
    assert refused.returncode == 2 and refused.stderr.count("\n") == 1 and "--coupling" in refused.stderr
    assert np.isfinite(told["bundled"]["iterations"])


def test_sweep_coupling_columns_are_the_reports(tmp_path: Path) -> None:
    done = pelmora_run("sweep", DATA / "glpk-sample.min", "-k", "2", "--methods", "spread", "--seeds", "1", "--out",
                       tmp_path, "--workers", 1, "--feasible", "--tightness", "1", "--costs", "0.5", "1.5", "--solve",
                       "--coupling")
    assert done.returncode == 0, done.stderr
    (row,) = csv.DictReader((tmp_path / "sweep.csv").open())
    report = pt.coupling(pt.load_arrays(tmp_path / row["file"]))
    assert float(row["objective"]) == report.bundled.objective
    assert float(row["independent_objective"]) == report.independent.objective
    assert float(row["coupling_gap"]) == pytest.approx(report.gap)
    assert (int(row["binding_rows"]), int(row["priced_rows"])) == (report.binding, report.priced)
    refused = pelmora_run("sweep", DATA / "glpk-sample.min", "-k", "2", "--methods", "spread", "--seeds", "1", "--out",
                          tmp_path / "x", "--coupling")
    assert refused.returncode == 2 and "--coupling applies with --solve" in refused.stderr
