#!/usr/bin/env python3
"""The feasible mode's congestion knob: the coupling it makes, and what it costs.

The curve: on four bases (two loose, two tight; the Delaunay and grid networks of tests/data are not
NETGEN's), K = 4 and 8, costs randomised as the command line's default, the coupling report
(pelmora_tools.coupling: the LP with and without the bundle rows) for each congestion C; every
certificate verified. The cost: the native step of the feasible mode (decomposition, split, knob)
on the network of bench_mcf.py (1,000,000 arcs, K = 10) at C = 1 against C = 0, beside its peer,
OR-Tools' single min-cost flow solve of the instance.

    python bench/bench_congestion.py [--arcs N] [--nodes N] [--k K] [--quick] [--json FILE]

Targets (printed, never asserted): at C = 1 a median gap of at least 20% on the loose bases and 35%
on the tight ones; the gap growing with C on average; the time the knob adds at most 1x the solve.
"""

from __future__ import annotations

import json
import statistics
import sys
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import numpy as np  # noqa: E402
from common import best_of, network_args, network_file  # noqa: E402

import pelmora  # noqa: E402
import pelmora_tools as pt  # noqa: E402
from pelmora_tools import _min_cost_flow, _native  # noqa: E402
from pelmora_tools.lp import highs_process  # noqa: E402

DATA = HERE.parent / "tests" / "data"
COSTS = (0.5, 1.5)  # the command line's default in the feasible mode
# NETGEN's parameter lines: 2,000 nodes, 8,000 arcs, 20 sources and sinks, costs 1-100; loose:
# capacities 1,000-5,000 for a supply of 20,000; tight: capacities 100-500 for 200,000.
BASES: dict[str, tuple[str, Any]] = {
    "delaunay (loose)": ("loose", lambda: pelmora.load_min_instance(str(DATA / "lemon-delaunay-2000n.min"))),
    "NETGEN (loose)": ("loose", lambda: pt.netgen("13502460 1 2000 20 20 8000 1 100 20000 0 0 30 100 1000 5000")),
    "grid 40x40 (tight)": ("tight", lambda: pelmora.load_min_instance(str(DATA / "own-grid-40x40.min"))),
    "NETGEN (tight)": ("tight", lambda: pt.netgen("13502460 2 2000 20 20 8000 1 100 200000 0 0 30 100 100 500")),
}


def curve(names: list[str], ks: tuple[int, ...], steps: tuple[float, ...]) -> list[dict[str, Any]]:
    rows = []
    for name in names:
        kind, load = BASES[name]
        instance = load()
        for k in ks:
            for c in steps:
                made = pt.generate_feasible(instance, k, "spread", seed=1, costs=COSTS, congestion=c)
                assert pt.verify_certificate(made.arrays, made.certificate) is None
                report = pt.coupling(made.arrays)
                rows.append({"base": name, "kind": kind, "k": k, "congestion": c, "gap": report.gap,
                             "binding_share": report.binding / made.arrays.num_arcs if report.binding is not None
                             else None, "iterations": report.iterations_bundled,
                             "independent_iterations": report.iterations_independent,
                             "certificate": made.cost, "optimum": report.bundled.objective})
                gap = "-" if report.gap is None else f"{100 * report.gap:7.2f}%"
                print(f"  {name:<20} K = {k}  C = {c:<4}  gap {gap}  binding {rows[-1]['binding_share']:.3f}"
                      f"  iterations {report.iterations_bundled:>7} (alone {report.iterations_independent})",
                      flush=True)
    return rows


def knob_cost(arcs: int, nodes: int, k: int, repeat: int) -> dict[str, float]:
    instance = pelmora.load_min_instance(str(network_file(nodes, arcs)))
    single = pt.arrays_from_min(instance)
    whole = [np.asarray(a, dtype=np.int64) for a in (single.up, single.costs[:, 0], single.supplies[:, 0])]
    problem = _min_cost_flow.flow_problem(single.node_ids, single.tails, single.heads, single.low, *whole)
    started = time.perf_counter()
    status, flow = _min_cost_flow._ortools_solve((problem.tails, problem.heads, problem.capacity, problem.costs,
                                                  problem.supplies))
    solve_s = time.perf_counter() - started
    assert flow is not None, status
    unique = _min_cost_flow.feasible_flow(problem)

    def native(c: float) -> float:
        options = _native.feasible_options(k, 0, seed=7, randomize_costs=True, cost_a=COSTS[0], cost_b=COSTS[1],
                                           congestion=c)
        return best_of(lambda: _native.feasible(instance, unique, options), repeat)

    plain, knob = native(0.0), native(1.0)
    return {"arcs": arcs, "k": k, "solve_s": solve_s, "native_s": plain, "native_knob_s": knob,
            "added_s": max(knob - plain, 0.0)}


def summary(rows: list[dict[str, Any]]) -> dict[str, Any]:
    top = max(r["congestion"] for r in rows)
    out: dict[str, Any] = {}
    for kind in ("loose", "tight"):
        gaps = [r["gap"] for r in rows if r["kind"] == kind and r["congestion"] == top and r["gap"] is not None]
        out[f"median_gap_{kind}"] = statistics.median(gaps) if gaps else None
    steps = sorted({r["congestion"] for r in rows})
    means = [statistics.mean(r["gap"] or 0.0 for r in rows if r["congestion"] == c) for c in steps]
    out["mean_gap_by_c"] = dict(zip(map(str, steps), means))
    out["growing"] = all(b >= a for a, b in zip(means, means[1:]))
    return out


def main() -> None:
    args, repeat = network_args(__doc__.splitlines()[0], 3, lambda p: p.add_argument(
        "--bases", help="comma-separated positions in BASES (default all), to split a run among processes"))
    names = list(BASES) if not args.quick else ["delaunay (loose)", "grid 40x40 (tight)"]
    if args.bases:
        names = [list(BASES)[int(i)] for i in args.bases.split(",")]
    ks, steps = ((4,), (0.0, 1.0)) if args.quick else ((4, 8), (0.0, 0.5, 1.0))
    print(f"coupling against the congestion C (costs randomised in {COSTS}, spread, seed 1):")
    with highs_process():
        rows = curve(names, ks, steps)
    s = summary(rows)
    cost = knob_cost(args.arcs, args.nodes, args.k, repeat)
    loose, tight = s["median_gap_loose"], s["median_gap_tight"]
    print(f"median gap at C = {steps[-1]}: loose {100 * (loose or 0):.1f}% (target >= 20%), "
          f"tight {100 * (tight or 0):.1f}% (target >= 35%); mean gap growing with C: {s['growing']}")
    print(f"{cost['arcs']:,} arcs, K = {cost['k']}: native step {cost['native_s']:.3f} s at C = 0, "
          f"{cost['native_knob_s']:.3f} s at C = 1; the knob adds {cost['added_s']:.3f} s = "
          f"{cost['added_s'] / cost['solve_s']:.2f}x OR-Tools' single solve ({cost['solve_s']:.3f} s; target <= 1x)")
    if args.json:
        Path(args.json).write_text(json.dumps({"curve": rows, "summary": s, "cost": cost,
                                               "quick": bool(args.quick)}))


if __name__ == "__main__":
    main()
