"""A parameter sweep (methods x K x seeds) on a dask.distributed cluster, from Python.

    python examples/sweep.py [instance.min] [--out DIR] [--k 2 4 8] [--seeds 3] [--first-seed 0]
                             [--workers 2 | --scheduler tcp://HOST:8786]

The same engine as `pelmora sweep`: every (method, K, seed) is generated on a worker with capacities
and costs randomised and a tenth of the arcs closed per commodity, written to its own file in DIR,
and summed up in one row of DIR/sweep.csv. This script then prints the mean heterogeneity score of
each method and K. Without --scheduler, a LocalCluster of --workers processes runs the sweep.
"""

from __future__ import annotations

import argparse
import sys
from collections import defaultdict
from collections.abc import Sequence
from pathlib import Path

from pelmora_tools.methods import NAMES
from pelmora_tools.sweep import FAILED, Plan, run_sweep

DEFAULT_INSTANCE = Path(__file__).resolve().parent.parent / "tests" / "data" / "own-net-5000n-12500a.min"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("instance", nargs="?", default=str(DEFAULT_INSTANCE), help="a DIMACS .min file")
    parser.add_argument("--out", default="sweep-out", help="directory for the files and sweep.csv")
    parser.add_argument("--k", type=int, nargs="+", default=[2, 4, 8], help="numbers of commodities")
    parser.add_argument("--seeds", type=int, default=3, help="how many seeds per (method, K)")
    parser.add_argument("--first-seed", type=int, default=0)
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    where.add_argument("--scheduler", help="address of a running scheduler")
    args = parser.parse_args(argv)
    if args.seeds < 1 or args.first_seed < 0 or min(args.k) < 1 or args.workers < 1:
        parser.error("need --seeds >= 1, --first-seed >= 0, every --k >= 1 and --workers >= 1")

    plan = Plan(
        args.instance,
        methods=NAMES,
        commodities=tuple(args.k),
        seeds=tuple(range(args.first_seed, args.first_seed + args.seeds)),
        caps=(0.8, 1.0),
        costs=(0.8, 1.2),
        close=0.1,
    )
    outcome = run_sweep(plan, args.out, workers=args.workers, scheduler=args.scheduler, overwrite=True)
    rows = [row for row in outcome.rows if row["status"] not in FAILED]  # a failed row has no score

    scores: defaultdict[tuple[str, int], list[float]] = defaultdict(list)
    for row in rows:
        scores[str(row["method"]), int(str(row["commodities"]))].append(float(str(row["heterogeneity"])))
    print(f"{'method':<15}{'K':>4}{'mean heterogeneity':>20}")
    for (method, k), values in scores.items():
        print(f"{method:<15}{k:>4}{sum(values) / len(values):>20.4f}")
    workers = len({row["worker_pid"] for row in rows})
    print(f"{len(outcome.rows)} data sets, {outcome.failed} failed, on {workers} worker processes; "
          f"wrote {outcome.path}")
    return 1 if outcome.failed else 0


if __name__ == "__main__":
    sys.exit(main())
