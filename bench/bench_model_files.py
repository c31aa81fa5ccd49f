#!/usr/bin/env python3
"""The LP's model files (free MPS, CPLEX LP) written natively, against a plain write of the same
bytes from Python and against HiGHS's own writer, on the data set of bench_tools.py at K = 4.

    python bench/bench_model_files.py [--arcs N] [--nodes N] [--k K] [--quick] [--json FILE]

Targets (printed, never asserted): each native writer at most 3x the plain write of the bytes it
wrote (1 MiB writes from memory), in elapsed time and in the process's CPU time (user and system,
its writing thread included: on a shared machine the elapsed time also counts the waits for a
core); its peak memory beyond the arrays independent of the file's size.
"""

from __future__ import annotations

import gc
import json
import resource
import sys
import time
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from common import OUT, network_args, network_file, peak_rss, peak_rss_reset, rss_bytes  # noqa: E402

import pelmora  # noqa: E402
import pelmora_tools as pt  # noqa: E402
from pelmora_tools.model_files import Format, _write_native  # noqa: E402


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed(fn: Callable[[], object], repeat: int) -> tuple[float, float]:
    """Best elapsed and best CPU seconds of `repeat` runs."""
    walls, cpus = [], []
    for _ in range(repeat):
        cpu, wall = cpu_seconds(), time.perf_counter()
        fn()
        walls.append(time.perf_counter() - wall)
        cpus.append(cpu_seconds() - cpu)
    return min(walls), min(cpus)


def plain_write(data: bytes, path: Path) -> None:
    view = memoryview(data)
    with open(path, "wb") as out:
        for start in range(0, len(view), 1 << 20):
            out.write(view[start : start + (1 << 20)])


def measure(arrays: pt.DataSetArrays, fmt: Format, repeat: int) -> dict[str, float]:
    target, copy = OUT / f"model.{fmt}", OUT / f"model-copy.{fmt}"
    native_s, native_cpu = timed(lambda: _write_native(arrays, str(target), fmt, True), repeat)
    gc.collect()
    peak_rss_reset()
    before = rss_bytes()
    _write_native(arrays, str(target), fmt, True)
    peak = peak_rss() - before
    content = target.read_bytes()
    plain_s, plain_cpu = timed(lambda: plain_write(content, copy), repeat)
    whole_s, _ = timed(lambda: pt.write_model(arrays, target), 1)
    highs_s, _ = timed(lambda: pt.write_model(arrays, copy, writer="highs"), 1)
    for path in (target, copy):
        path.unlink(missing_ok=True)
    return {"bytes": len(content), "native_s": native_s, "native_cpu_s": native_cpu, "plain_s": plain_s,
            "plain_cpu_s": plain_cpu, "whole_s": whole_s, "highs_s": highs_s, "peak_bytes": peak}


def main() -> None:
    args, repeat = network_args(__doc__.splitlines()[0], 3)
    OUT.mkdir(exist_ok=True)
    instance = pelmora.load_min_instance(str(network_file(args.nodes, args.arcs)))
    data = pelmora.generate_multi_commodity_data(instance, args.k, 0, randomize_caps=True, randomize_costs=True, seed=7)
    arrays = pt.arrays_from_data(instance, data)
    del data
    figures: dict[str, object] = {"arcs": args.arcs, "nodes": args.nodes, "k": args.k}
    print(f"{args.arcs} arcs, {args.nodes} nodes, K = {args.k}; best of {repeat}")
    for fmt in ("mps", "lp"):
        f = figures[fmt] = measure(arrays, fmt, repeat)
        print(f"  {fmt:>3}: {f['bytes'] / 1e6:7.1f} MB  native {f['native_s']:6.2f} s (CPU {f['native_cpu_s']:.2f} s)  "
              f"plain write {f['plain_s']:6.2f} s (CPU {f['plain_cpu_s']:.2f} s): "
              f"{f['native_s'] / f['plain_s']:.2f}x elapsed, {f['native_cpu_s'] / f['plain_cpu_s']:.2f}x CPU "
              f"(target <= 3); with fsync and rename {f['whole_s']:.2f} s; HiGHS {f['highs_s']:.2f} s = "
              f"{f['highs_s'] / f['native_s']:.1f}x ours; peak +{f['peak_bytes'] / 2**20:.1f} MiB")
    if args.json:
        Path(args.json).write_text(json.dumps(figures))


if __name__ == "__main__":
    main()
