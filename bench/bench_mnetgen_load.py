#!/usr/bin/env python3
"""load_mnetgen, per byte, against load_multi_commodity_instance on the same data set (the data set
of bench_tools.py: 1,000,000 arcs, 100,000 nodes, K = 10, both randomisations on), written once as
a multicommodity file and once as the four mnetgen files; arrays_from_file (the same multicommodity
file into the companion's arrays) as context.

    python bench/bench_mnetgen_load.py [--arcs N] [--nodes N] [--k K] [--quick] [--json FILE]

Target (printed, never asserted): load_mnetgen at least as fast per byte as
load_multi_commodity_instance.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from common import OUT, best_of, network_args, network_file  # noqa: E402

import pelmora  # noqa: E402
import pelmora_tools as pt  # noqa: E402

SUFFIXES = (".nod", ".arc", ".sup", ".mut")


def main() -> None:
    args, repeat = network_args(__doc__.splitlines()[0], 3)
    OUT.mkdir(exist_ok=True)
    instance = pelmora.load_min_instance(str(network_file(args.nodes, args.arcs)))
    data = pelmora.generate_multi_commodity_data(instance, args.k, 0, randomize_caps=True, randomize_costs=True, seed=7)
    mcf, prefix = OUT / "mnetgen-load.mcf", OUT / "mnetgen-load"
    pelmora.save_multi_commodity_instance(str(mcf), instance, data)
    pt.export_mnetgen(pt.arrays_from_data(instance, data), prefix)
    del data
    mcf_bytes = mcf.stat().st_size
    four_bytes = sum(prefix.with_name(prefix.name + s).stat().st_size for s in SUFFIXES)

    t_mcf = best_of(lambda: pelmora.load_multi_commodity_instance(str(mcf)), repeat)
    t_arrays = best_of(lambda: pt.arrays_from_file(mcf), repeat)
    t_four = best_of(lambda: pt.load_mnetgen(prefix), repeat)
    per_byte_mcf, per_byte_four = mcf_bytes / t_mcf, four_bytes / t_four
    ratio = per_byte_four / per_byte_mcf

    print(f"{args.arcs:,} arcs, {args.nodes:,} nodes, K = {args.k}")
    print(f"load_multi_commodity_instance  {t_mcf:8.3f} s  {mcf_bytes / 1e6:8.1f} MB  {per_byte_mcf / 1e6:7.1f} MB/s")
    print(f"arrays_from_file (same file)   {t_arrays:8.3f} s")
    print(f"load_mnetgen (four files)      {t_four:8.3f} s  {four_bytes / 1e6:8.1f} MB  {per_byte_four / 1e6:7.1f} MB/s")
    print(f"load_mnetgen per byte: {ratio:.2f}x load_multi_commodity_instance's rate (target >= 1)")
    for path in [mcf, *(prefix.with_name(prefix.name + s) for s in SUFFIXES)]:
        path.unlink()
    if args.json:
        Path(args.json).write_text(json.dumps({
            "arcs": args.arcs, "nodes": args.nodes, "k": args.k, "mcf_s": t_mcf, "mcf_bytes": mcf_bytes,
            "arrays_s": t_arrays, "four_s": t_four, "four_bytes": four_bytes, "per_byte_ratio": ratio}))


if __name__ == "__main__":
    main()
