#!/usr/bin/env python3
"""NETGEN built in: pelmora_tools.netgen on a NETGEN-8 problem of 1,000,000 arcs against the classic C
program in the same run, and against pynetgen at a size it finishes.

    NETGEN_C_PROGRAM=EXE python bench/bench_netgen.py [--arcs N] [--pynetgen-arcs N] [--quick] [--json FILE]

The C program is run when NETGEN_C_PROGRAM names its executable, built by the user from its source
(bench/netgen_c.py); otherwise its figures are reported as not at hand. Both write the network to
a file (the C program through its standard output). Targets (printed, never asserted): writing
the file takes at most the C program's time; the same lines as the C program's.
"""

from __future__ import annotations

import argparse
import json
import math
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import netgen_c  # noqa: E402
from common import OUT, best_of  # noqa: E402

import pelmora_tools as pt  # noqa: E402


def netgen_8(arcs: int) -> pt.NetgenParams:
    """A NETGEN-8 problem of that many arcs: n = arcs / 8 nodes, sqrt(n) sources and sinks, 1,000
    units of supply per source, costs 1..10,000, capacities 1..1,000, every skeleton arc at the
    highest cost and capacitated."""
    nodes = max(arcs // 8, 2)
    ends = max(1, round(math.sqrt(nodes)))
    return pt.NetgenParams(13502460, 1, nodes, ends, ends, arcs, 1, 10000, 1000 * ends, 0, 0, 100, 100, 1, 1000)


def c_seconds(binary: Path, line: str, target: Path, repeat: int) -> float:
    def once() -> None:
        with target.open("wb") as out:
            subprocess.run([str(binary)], input=line.encode(), stdout=out, check=True)

    return best_of(once, repeat)


def pynetgen_seconds(params: pt.NetgenParams, target: Path) -> float | None:
    try:
        import pynetgen  # type: ignore[import-not-found,import-untyped,unused-ignore]
    except ImportError:
        return None
    p = params
    started = time.perf_counter()
    pynetgen.netgen_generate(
        seed=p.seed, nodes=p.nodes, sources=p.sources, sinks=p.sinks, density=p.arcs, mincost=p.min_cost,
        maxcost=p.max_cost, supply=p.supply, tsources=p.tsources, tsinks=p.tsinks, hicost=p.hicost,
        capacitated=p.capacitated, mincap=p.min_cap, maxcap=p.max_cap, fname=str(target),
    )
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arcs", type=int, default=1_000_000)
    parser.add_argument("--pynetgen-arcs", type=int, default=65_536, help="the size pynetgen is timed at")
    parser.add_argument("--quick", action="store_true", help="20,000 arcs (pynetgen 4,096), 2 repeats")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    args = parser.parse_args()
    if args.quick:
        args.arcs, args.pynetgen_arcs, args.repeat = 20_000, 4_096, 2
    OUT.mkdir(exist_ok=True)
    params = netgen_8(args.arcs)
    line = params.line()
    ours_file = OUT / "netgen-ours.min"
    figures: dict[str, object] = {"arcs": args.arcs, "nodes": params.nodes, "params": line, "repeat": args.repeat}

    figures["file_s"] = best_of(lambda: pt.netgen(params, out=ours_file), args.repeat)
    figures["instance_s"] = best_of(lambda: pt.netgen(params), args.repeat)
    figures["file_bytes"] = ours_file.stat().st_size
    print(f"NETGEN-8, {args.arcs:,} arcs, {params.nodes:,} nodes: {line}")
    print(f"  pelmora_tools.netgen, written to a file:   {figures['file_s']:.3f} s ({ours_file.stat().st_size / 1e6:.1f} MB)")
    print(f"  pelmora_tools.netgen, as NetworkInstance:  {figures['instance_s']:.3f} s")

    with tempfile.TemporaryDirectory() as tmp:
        # Limits fitted to the problem (the skeleton may add arcs beyond those requested).
        binary = netgen_c.build(Path(tmp), params.nodes + 1, 2 * args.arcs + params.nodes)
        if binary is None:
            print(f"  C NETGEN: {netgen_c.NOT_AT_HAND}")
            figures["c_s"] = None
        else:
            c_file = OUT / "netgen-c.min"
            figures["c_s"] = c_seconds(binary, line, c_file, args.repeat)
            figures["same_as_c"] = netgen_c.digest(c_file.read_bytes()) == netgen_c.digest(ours_file.read_bytes())
            c_file.unlink()
            print(f"  C NETGEN (compiled -O2), to a file:        {figures['c_s']:.3f} s; same lines: {figures['same_as_c']}")

    small = netgen_8(args.pynetgen_arcs)
    py_file = OUT / "netgen-pynetgen.min"
    figures["pynetgen_arcs"] = args.pynetgen_arcs
    figures["pynetgen_ours_s"] = best_of(lambda: pt.netgen(small, out=ours_file), args.repeat)
    figures["pynetgen_s"] = pynetgen_seconds(small, py_file)
    if figures["pynetgen_s"] is None:
        print("  pynetgen: not installed (pip install pynetgen)")
    else:
        pt.netgen(small, out=ours_file)
        figures["pynetgen_same"] = netgen_c.digest(py_file.read_bytes()) == netgen_c.digest(ours_file.read_bytes())
        py_file.unlink()
        print(f"  pynetgen at {args.pynetgen_arcs:,} arcs: {figures['pynetgen_s']:.2f} s, pelmora "
              f"{figures['pynetgen_ours_s']:.4f} s; same network: {figures['pynetgen_same']}")
    ours_file.unlink()
    if args.json:
        Path(args.json).write_text(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
