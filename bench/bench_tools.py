#!/usr/bin/env python3
"""The companion tools on the data set of bench_mcf.py (1,000,000 arcs, 100,000 nodes, K = 10,
both randomisations on): arrays, the four mnetgen files, the HiGHS model, the per-commodity check.

    python bench/bench_tools.py [--arcs N] [--nodes N] [--k K] [--solve-arcs N] [--quick] [--json FILE]

Targets (printed, never asserted): export_mnetgen at most 3x save_multi_commodity_instance;
build_model at most 2x generate_multi_commodity_data, its peak memory at most 2x the arrays it
hands to HiGHS; the check at most the cost of the solve it stands for. The LP is solved on a
smaller network (--solve-arcs) next to the check of the same data (one run each): the cheap steps
alone (each commodity routed, the commodities summed) and the whole check, which solves the LP
itself when the cheap steps leave the bundle rows open.
"""

from __future__ import annotations

import gc
import json
import sys
import time
from functools import partial
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import ortools.graph.python.max_flow  # type: ignore[import-untyped]  # noqa: E402, F401  (imported here, not inside the first timed check)
import scipy.sparse.csgraph  # type: ignore[import-untyped]  # noqa: E402, F401
from common import OUT, best_of, network_args, network_file, peak_rss, peak_rss_reset, rss_bytes  # noqa: E402

import pelmora  # noqa: E402
import pelmora_tools as pt  # noqa: E402


def handed_bytes(arrays: pt.DataSetArrays) -> int:
    """What build_model passes to HiGHS: per column cost, bounds, start, integrality and three
    matrix entries (row index and value); per row two bounds."""
    cols = arrays.num_arcs * arrays.num_commodities
    rows = arrays.num_nodes * arrays.num_commodities + arrays.num_arcs
    return cols * (3 * 8 + 4 + 4 + 3 * (4 + 8)) + rows * 2 * 8


def data_set(nodes: int, arcs: int, k: int) -> tuple[pelmora.NetworkInstance, pelmora.MultiCommodityData]:
    instance = pelmora.load_min_instance(str(network_file(nodes, arcs)))
    return instance, pelmora.generate_multi_commodity_data(instance, k, 0, randomize_caps=True, randomize_costs=True, seed=7)


def main() -> None:
    args, repeat = network_args(
        __doc__.splitlines()[0], 3, lambda p: p.add_argument("--solve-arcs", type=int, default=20_000))
    if args.quick:
        args.solve_arcs = 2_000
    OUT.mkdir(exist_ok=True)

    instance = pelmora.load_min_instance(str(network_file(args.nodes, args.arcs)))

    def generate() -> pelmora.MultiCommodityData:
        return pelmora.generate_multi_commodity_data(instance, args.k, 0, randomize_caps=True, randomize_costs=True, seed=7)

    t_generate = best_of(generate, repeat)
    data = generate()
    target = OUT / "tools-save.mcf"
    prefix = OUT / "tools-export"

    def save(data: pelmora.MultiCommodityData) -> None:
        target.unlink(missing_ok=True)
        pelmora.save_multi_commodity_instance(str(target), instance, data)

    t_save = best_of(partial(save, data), repeat)
    t_arrays = best_of(partial(pt.arrays_from_data, instance, data), repeat)
    arrays = pt.arrays_from_data(instance, data)
    t_file_arrays = best_of(lambda: pt.arrays_from_file(target), repeat)
    t_load = best_of(lambda: pelmora.load_multi_commodity_instance(str(target)), repeat)

    def export(arrays: pt.DataSetArrays) -> None:
        for suffix in (".nod", ".arc", ".sup", ".mut"):
            prefix.with_name(prefix.name + suffix).unlink(missing_ok=True)
        pt.export_mnetgen(arrays, prefix)

    t_export = best_of(partial(export, arrays), repeat)
    export_bytes = sum(prefix.with_name(prefix.name + s).stat().st_size for s in (".nod", ".arc", ".sup", ".mut"))
    t_build = best_of(partial(pt.build_model, arrays), repeat)
    gc.collect()
    peak_rss_reset()
    before = rss_bytes()
    model = pt.build_model(arrays)
    build_peak = peak_rss() - before
    del model
    handed = handed_bytes(arrays)
    t_check_big = best_of(partial(pt.check_feasibility, arrays, bundled=False), 1)
    del arrays, data

    # The full LP at the top size runs for many minutes; the solve is compared on a smaller one.
    solve_nodes = max(args.solve_arcs // 10, 10)
    small_instance, small_data = data_set(solve_nodes, args.solve_arcs, args.k)
    small = pt.arrays_from_data(small_instance, small_data)
    t_check = best_of(lambda: pt.check_feasibility(small, bundled=False), repeat)
    solved = pt.solve(small)
    report = pt.check_feasibility(small, bundled=False)
    began = time.perf_counter()
    cheap = pt.check_feasibility(small, solve=False)
    t_cheap = time.perf_counter() - began
    began = time.perf_counter()
    whole = pt.check_feasibility(small)
    t_whole = time.perf_counter() - began

    print(f"{args.arcs} arcs, {args.nodes} nodes, K = {args.k}, both randomisations on; best of {repeat}")
    for name, t in [("generate_multi_commodity_data", t_generate), ("save_multi_commodity_instance", t_save),
                    ("arrays_from_data", t_arrays), ("arrays_from_file", t_file_arrays),
                    ("load_multi_commodity_instance", t_load),
                    ("export_mnetgen (4 files)", t_export), ("build_model (bundled)", t_build),
                    ("check_feasibility, per commodity", t_check_big)]:
        print(f"  {name:<34} {t * 1000:10.1f} ms")
    print(f"export / save      = {t_export / t_save:6.2f}x   (target <= 3); {export_bytes / 1e6:.1f} MB written")
    print(f"build / generate   = {t_build / t_generate:6.2f}x   (target <= 2)")
    print(f"build peak / arrays handed = {build_peak / 2**20:.0f} MiB / {handed / 2**20:.0f} MiB = "
          f"{build_peak / handed:.2f}x   (target <= 2)")
    print(f"{args.solve_arcs} arcs, K = {args.k}: LP solve {solved.seconds:.2f} s ({solved.status}); per-commodity "
          f"check {t_check:.3f} s = {t_check / solved.seconds:.3f} of the solve; alone feasible: "
          f"{sum(c.feasible is True for c in report.commodities)} of {args.k} commodities")
    print(f"check of the bundled model: cheap steps {t_cheap:.3f} s ({cheap.verdict}, {cheap.bundled_by}); whole "
          f"check {t_whole:.2f} s ({whole.verdict}, {whole.bundled_by}) = {t_whole / solved.seconds:.2f}x the solve")
    if args.json:
        Path(args.json).write_text(json.dumps({
            "arcs": args.arcs, "nodes": args.nodes, "k": args.k, "repeat": repeat,
            "generate_s": t_generate, "save_s": t_save, "arrays_s": t_arrays, "file_arrays_s": t_file_arrays, "load_s": t_load,
            "export_s": t_export, "export_bytes": export_bytes, "build_s": t_build, "build_peak_bytes": build_peak,
            "handed_bytes": handed, "check_big_s": t_check_big, "solve_arcs": args.solve_arcs,
            "solve_s": solved.seconds, "solve_status": solved.status, "check_s": t_check,
            "check_cheap_s": t_cheap, "check_cheap_verdict": cheap.verdict, "check_cheap_by": cheap.bundled_by,
            "check_whole_s": t_whole, "check_whole_verdict": whole.verdict, "check_whole_by": whole.bundled_by,
        }, indent=1))
    target.unlink(missing_ok=True)


if __name__ == "__main__":
    main()
