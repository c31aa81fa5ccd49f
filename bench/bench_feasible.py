#!/usr/bin/env python3
"""The feasible mode (pelmora_tools.generate_feasible) on the network of bench_mcf.py (1,000,000
arcs, 100,000 nodes, K = 10): the whole generation against OR-Tools' single min-cost flow solve
plus the module's own generation, both measured here; its peak memory against the data set's
arrays; then, on a smaller network (--solve-arcs), what the tightness does to HiGHS (simplex
iterations, time, bundle rows binding at the optimum) beside the module's data sets of the same
size and K, and the heterogeneity score of both modes.

    python bench/bench_feasible.py [--arcs N] [--nodes N] [--k K] [--solve-arcs N] [--quick] [--json FILE]

Targets (printed, never asserted): the whole feasible generation at most 2x (the solver's single
min-cost flow + generate_multi_commodity_data); its peak memory at most 2x the data set's arrays.
"""

from __future__ import annotations

import gc
import json
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import numpy as np  # noqa: E402
from common import OUT, best_of, network_args, network_file, peak_rss, peak_rss_reset, rss_bytes  # noqa: E402

import pelmora  # noqa: E402
import pelmora_tools as pt  # noqa: E402
from pelmora_tools import _min_cost_flow, _native  # noqa: E402
from pelmora_tools import methods as split_methods  # noqa: E402
from pelmora_tools.arrays import as_int64  # noqa: E402

TIGHTNESS = (0.0, 0.5, 0.9, 1.0)
METHODS = {method.name: method.number for method in split_methods.METHODS}


def arrays_bytes(arrays: pt.DataSetArrays) -> int:
    return sum(getattr(arrays, f).nbytes for f in ("node_ids", "tails", "heads", "low", "up", "costs", "capacities",
                                                    "supplies"))


def highs_effort(arrays: pt.DataSetArrays) -> dict[str, Any]:
    """HiGHS on the bundled LP: status, seconds, simplex iterations, bundle rows at their bound."""
    highs = pt.build_model(arrays)
    highs.setOptionValue("output_flag", False)
    started = time.perf_counter()
    highs.run()
    seconds = time.perf_counter() - started
    status = highs.modelStatusToString(highs.getModelStatus())
    binding = objective = None
    if status == "Optimal":
        objective = float(highs.getInfo().objective_function_value)
        rows = np.asarray(highs.getSolution().row_value)[arrays.num_nodes * arrays.num_commodities:]
        binding = int((rows >= arrays.up - 1e-6).sum())
    return {"status": status, "seconds": seconds, "iterations": int(highs.getInfo().simplex_iteration_count),
            "binding": binding, "objective": objective}


def max_flow_seconds(problem: _min_cost_flow.FlowProblem) -> float:
    """scipy's maximum flow (Dinic) from a super source to a super sink over the same arcs: the
    cheaper flow a certificate could start from, blind to costs."""
    from scipy.sparse import csr_array  # type: ignore[import-untyped]
    from scipy.sparse.csgraph import maximum_flow  # type: ignore[import-untyped]

    n = problem.supplies.shape[0]
    src = np.flatnonzero(problem.supplies > 0)
    dst = np.flatnonzero(problem.supplies < 0)
    tails = np.concatenate([problem.tails, np.full(src.size, n), dst])
    heads = np.concatenate([problem.heads, src, np.full(dst.size, n + 1)])
    caps = np.concatenate([problem.capacity, problem.supplies[src], -problem.supplies[dst]])
    graph = csr_array((np.minimum(caps, 2**31 - 1).astype(np.int32), (tails, heads)), shape=(n + 2, n + 2))
    started = time.perf_counter()
    maximum_flow(graph, n, n + 1, method="dinic")
    return time.perf_counter() - started


def heterogeneity_table(path: Path, ks: tuple[int, ...], seeds: range) -> list[dict[str, Any]]:
    """The heterogeneity score of the node split and of the feasible mode, mean over seeds."""
    instance = pelmora.load_min_instance(str(path))
    rows = []
    for method, number in METHODS.items():
        for concentration in ((0.3, 3.0, 30.0) if method == "beta-binomial" else (3.0,)):
            for k in ks:
                node, feasible = [], []
                for seed in seeds:
                    data = pelmora.generate_multi_commodity_data(instance, k, number, seed=seed,
                                                                 concentration_param=concentration)
                    node.append(pelmora.compute_commodity_demand_heterogeneity(data.supply_partition,
                                                                               instance.supplies))
                    arrays = pt.generate_feasible(instance, k, method, seed=seed, concentration=concentration).arrays
                    keep = arrays.supplies.sum(axis=1) != 0
                    partition = {int(i): r.tolist() for i, r in zip(arrays.node_ids[keep], arrays.supplies[keep])}
                    feasible.append(pelmora.compute_commodity_demand_heterogeneity(partition, instance.supplies))
                rows.append({"method": method, "concentration": concentration, "k": k,
                             "node_split": float(np.mean(node)), "feasible": float(np.mean(feasible))})
    return rows


def probe(path: str, k: int) -> None:
    """In a fresh process, whose heap holds nothing freed by earlier work: the peak resident memory
    that one generation adds, the bytes of what it returns, and the share of the closing done."""
    instance = pelmora.load_min_instance(path)
    gc.collect()
    peak_rss_reset()
    before = rss_bytes()
    made = pt.generate_feasible(instance, k, "spread", seed=7, close=0.1, tightness=0.5)
    peak = peak_rss() - before
    held = arrays_bytes(made.arrays) + made.certificate.nbytes
    print(json.dumps([peak, held, made.closed / made.requested if made.requested else 1.0]))


def main() -> None:
    args, repeat = network_args(__doc__.splitlines()[0], 1,
                                lambda p: p.add_argument("--solve-arcs", type=int, default=20_000))
    if args.quick:
        args.solve_arcs = 2_000
    OUT.mkdir(exist_ok=True)
    instance = pelmora.load_min_instance(str(network_file(args.nodes, args.arcs)))

    t_generate = best_of(lambda: pelmora.generate_multi_commodity_data(instance, args.k, 0, seed=7), repeat)
    single = pt.arrays_from_min(instance)
    problem = _min_cost_flow.flow_problem(single.node_ids, single.tails, single.heads, single.low, as_int64(single.up),
                                          as_int64(single.costs[:, 0]), as_int64(single.supplies[:, 0]))
    args_of = (problem.tails, problem.heads, problem.capacity, problem.costs, problem.supplies)
    started = time.perf_counter()
    status, flow = _min_cost_flow._ortools_solve(args_of)
    t_solve = time.perf_counter() - started
    assert flow is not None, status
    t_max_flow = max_flow_seconds(problem)
    highs = pt.solve(single, time_limit=300)
    started = time.perf_counter()
    potentials = _native.potentials(problem.supplies.shape[0], *args_of[:4], flow)
    t_potentials = time.perf_counter() - started
    del potentials
    started = time.perf_counter()
    unique = _min_cost_flow.feasible_flow(problem)
    t_flow = time.perf_counter() - started
    started = time.perf_counter()
    _native.feasible(instance, unique, args.k, 0, 7, 3.0, False, 0.8, 1.0, False, 0.8, 1.2, 0.1, 0.5)
    t_native = time.perf_counter() - started
    del unique, flow

    t_feasible = best_of(lambda: pt.generate_feasible(instance, args.k, "spread", seed=7, close=0.1, tightness=0.5),
                         repeat)
    probe = subprocess.run([sys.executable, __file__, "--probe", str(network_file(args.nodes, args.arcs)),
                            str(args.k)], capture_output=True, text=True, check=True)
    peak, held, closed_share = json.loads(probe.stdout)

    print(f"{args.arcs} arcs, {args.nodes} nodes, K = {args.k}; best of {repeat}")
    for name, t in [("generate_multi_commodity_data", t_generate), ("OR-Tools min-cost flow (one solve)", t_solve),
                    ("residual potentials (native)", t_potentials),
                    ("unique flow (two solves in a child)", t_flow),
                    ("decompose, split, build (native)", t_native), ("generate_feasible, whole", t_feasible)]:
        print(f"  {name:<38} {t:8.3f} s")
    print(f"  {'scipy maximum_flow (Dinic; no costs)':<38} {t_max_flow:8.3f} s")
    print(f"  {'HiGHS LP of the instance (K = 1)':<38} {highs.seconds:8.3f} s ({highs.status})")
    ratio = t_feasible / (t_solve + t_generate)
    print(f"feasible / (solve + generate) = {ratio:.2f}x   (target <= 2); OR-Tools status {status}")
    print(f"peak / (arrays + certificate) = {peak / 2**20:.0f} MiB / {held / 2**20:.0f} MiB = {peak / held:.2f}x"
          f"   (target <= 2); closed {closed_share:.3f} of the pairs asked for")

    small_path = network_file(max(args.solve_arcs // 10, 10), args.solve_arcs)
    small = pelmora.load_min_instance(str(small_path))
    module = highs_effort(pt.arrays_from_data(small, pelmora.generate_multi_commodity_data(
        small, args.k, 0, randomize_costs=True, seed=7)))
    effort = []
    for t in TIGHTNESS:
        made = pt.generate_feasible(small, args.k, "spread", seed=7, costs=(0.8, 1.2), tightness=t)
        effort.append({"tightness": t, "certificate": made.cost} | highs_effort(made.arrays))
    print(f"{args.solve_arcs} arcs, K = {args.k}, costs randomised: HiGHS on the module's data set: "
          f"{module['status']}, {module['iterations']} iterations, {module['seconds']:.2f} s")
    print("  T     status    iterations  seconds  binding bundle rows   certificate       optimum")
    for e in effort:
        print(f"  {e['tightness']:<4}  {e['status']:<8}  {e['iterations']:>10}  {e['seconds']:7.2f}  "
              f"{e['binding']!s:>19}  {e['certificate']:>12}  {e['objective']!s:>12}")

    het = heterogeneity_table(HERE.parent / "tests" / "data" / "own-net-5000n-12500a.min", (2, 5, 10),
                              range(1, 3 if args.quick else 6))
    print("heterogeneity (mean over seeds), own-net-5000n-12500a: method, C, K: node split / feasible")
    for row in het:
        print(f"  {row['method']:<13} {row['concentration']:>5} {row['k']:>3}: {row['node_split']:.3f} / "
              f"{row['feasible']:.3f}")

    if args.json:
        Path(args.json).write_text(json.dumps({
            "arcs": args.arcs, "nodes": args.nodes, "k": args.k, "repeat": repeat, "generate_s": t_generate,
            "solve_s": t_solve, "max_flow_s": t_max_flow, "highs_s": highs.seconds, "highs_status": highs.status,
            "potentials_s": t_potentials, "flow_s": t_flow, "native_s": t_native,
            "feasible_s": t_feasible, "ratio": ratio, "peak_bytes": peak, "held_bytes": held,
            "closed_share": closed_share, "solve_arcs": args.solve_arcs, "module_effort": module,
            "effort": effort, "heterogeneity": het,
        }))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--probe"]:
        probe(sys.argv[2], int(sys.argv[3]))
    else:
        main()
