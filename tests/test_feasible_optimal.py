"""When the feasible mode says its certificate is optimal, against HiGHS's LP of the data set
(tests/test_feasible.py's, built from the arrays alone): negative costs, negative cycles, parallel
arcs and lower bounds included."""

from __future__ import annotations

from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_feasible import lp_optimum, min_lines

import pelmora
import pelmora_tools as pt

SOLVED_BY_CONSTRUCTION = [
    # A negative cycle (1 -> 2 at -3, 2 -> 1 at 1) wider than the total supply: clamping
    # capacities to the supply would hide most of it.
    ["p min 2 3", "n 1 2", "n 2 -2", "a 1 2 0 5 1", "a 1 2 0 4 -3", "a 2 1 0 4 1"],
    # Parallel arcs, all negative: each pass of the optimality check relaxes node 2 several times.
    ["p min 2 4", "n 1 2", "n 2 -2", "a 1 2 0 5 -1", "a 1 2 0 5 -2", "a 1 2 0 5 -3", "a 1 2 0 5 -4"],
]


@pytest.mark.parametrize("lines", SOLVED_BY_CONSTRUCTION)
def test_negative_costs_are_solved_by_construction(lines: list[str], min_file, tmp_path: Path) -> None:
    instance = pelmora.load_min_instance(min_file(lines))
    single = lp_optimum(pt.arrays_from_min(instance))
    for solver in ("ortools", "networkx"):
        made = pt.generate_feasible(instance, 2, "spread", seed=3, solver=solver)
        assert made.optimal and made.cost == single == lp_optimum(made.arrays)
        assert pt.verify_certificate(made.arrays, made.certificate) is None
        made.save(tmp_path / f"{solver}.mcf")
    assert (tmp_path / "ortools.mcf").read_bytes() == (tmp_path / "networkx.mcf").read_bytes()


@st.composite
def negative_networks(draw: st.DrawFn) -> tuple[int, dict[int, int], list[tuple[int, int, int, int, int]]]:
    """Small networks whose arcs often come in both directions with negative costs (negative
    cycles), in parallel, with lower bounds and capacities past the total supply."""
    n = draw(st.integers(2, 5))
    node = st.integers(1, n)
    arc = st.tuples(node, node, st.integers(0, 2), st.integers(0, 12), st.integers(-6, 6))
    arcs = [(t, h, min(lo, up), up, c) for t, h, lo, up, c in draw(st.lists(arc, min_size=1, max_size=10))]
    arcs += [(h, t, 0, up, c) for t, h, _, up, c in draw(st.lists(st.sampled_from(arcs), max_size=4))]
    amounts = draw(st.lists(st.integers(-4, 4), min_size=n - 1, max_size=n - 1))
    return n, dict(enumerate([*amounts, -sum(amounts)], start=1)), arcs


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(negative_networks(), st.integers(1, 3), st.booleans(), st.sampled_from([0.0, 1.0]), st.integers(0, 3))
def test_optimal_exactly_when_the_lp_says_so(min_file, network, k, own_costs, tightness, seed) -> None:
    instance = pelmora.load_min_instance(min_file(min_lines(*network)))
    try:
        made = pt.generate_feasible(instance, k, "beta-binomial", seed=seed, close=0.3, tightness=tightness,
                                    costs=None if own_costs else (0.5, 1.5), solver="networkx")
    except pt.NoFeasibleFlow:
        assert lp_optimum(pt.arrays_from_min(instance)) is None
        return
    assert pt.verify_certificate(made.arrays, made.certificate) is None
    optimum = lp_optimum(made.arrays)
    assert optimum is not None and optimum <= made.cost + 1e-9
    # With the instance's own costs the certificate is always an optimum and says so; with
    # randomised ones nothing proves it, and it is never said.
    if own_costs:
        assert made.optimal and optimum == pytest.approx(made.cost, abs=1e-6)
    else:
        assert not made.optimal
