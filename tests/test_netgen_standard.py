"""Klingman's standard problems 101 to 150 (``pelmora netgen --standard N``) against what is
published for them: the node and arc counts of all fifty, and the optimal costs of a handful, found
by OR-Tools' min-cost flow solver on the networks generated here."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest
from cli_support import pelmora_run
from ortools.graph.python import min_cost_flow

import pelmora_tools as pt
from pelmora_tools.netgen_standard import STANDARD, standard_params


def test_all_fifty_have_their_published_node_and_arc_counts(tmp_path: Path) -> None:
    assert sorted(STANDARD) == list(range(101, 151))
    for number, published in STANDARD.items():
        summary = pt.netgen(standard_params(number), out=tmp_path / "s.min")
        assert (summary.form, summary.nodes, summary.arcs) == ("min", published.nodes, published.arcs), number


# Both capacitated and uncapacitated, negative costs, transshipment nodes, 1000 to 5000 nodes.
@pytest.mark.parametrize("number", [101, 104, 116, 121, 134, 147])
def test_published_optima_are_reached(number: int) -> None:
    arrays = pt.arrays_from_min(pt.netgen(standard_params(number)))
    solver = min_cost_flow.SimpleMinCostFlow()
    index = arrays.node_index
    solver.add_arcs_with_capacity_and_unit_cost(index(arrays.tails), index(arrays.heads), arrays.up,
                                                 arrays.costs[:, 0])
    solver.set_nodes_supplies(np.arange(arrays.num_nodes), arrays.supplies[:, 0])
    assert solver.solve() == solver.OPTIMAL
    assert solver.optimal_cost() == STANDARD[number].optimum


def test_command_line_writes_the_standard_problem(tmp_path: Path) -> None:
    done = pelmora_run("netgen", tmp_path / "s.min", "--standard", 134)
    assert done.returncode == 0, done.stderr
    assert f"c parameter line: {STANDARD[134].line}\n" in (tmp_path / "s.min").read_text()
    for extra in (["--standard", 99], ["--standard", 101, "--seed", 3], ["--standard", 101, "--params", "1"]):
        refused = pelmora_run("netgen", tmp_path / "t.min", *extra)
        assert refused.returncode == 2 and refused.stderr.count("\n") == 1
    assert not (tmp_path / "t.min").exists()
