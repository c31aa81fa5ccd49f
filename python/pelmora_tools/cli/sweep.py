"""``pelmora sweep``: every (method, K, seed) of a study on a dask.distributed cluster."""

from __future__ import annotations

import argparse
from typing import Any

from ..sweep import Plan, run_sweep
from . import _args
from ._inputs import read_instance
from ._setup import require
from ._status import Status


def _seed_list(text: str) -> tuple[int, ...]:
    """Seeds as a comma list of numbers and inclusive ranges: "1-50", "3,7,10-12"."""
    seeds: list[int] = []
    for part in text.split(","):
        first, dash, last = part.partition("-")
        low = _args.SEED(first)
        high = _args.SEED(last) if dash else low
        if high < low:
            raise ValueError
        seeds.extend(range(low, high + 1))
    return tuple(dict.fromkeys(seeds))


SEED_LIST = _args.typed(_seed_list, "seeds and ranges such as 1-50 or 1,4,7-9")


def register(commands: Any) -> None:
    parser = commands.add_parser(
        "sweep", help="every (method, K, seed) on a dask.distributed cluster",
        description="Generates every combination of methods, commodity counts and seeds (and checks and solves "
                    "them if asked) on a dask.distributed cluster; writes the files and one CSV row per data set "
                    "into DIR.",
        epilog="CSV columns: the parameters, file, heterogeneity, min_commodity_supply, max_commodity_supply, "
               "closed_pairs (arc-commodity pairs closed), generate_s; with --check or --solve: alone_feasible, "
               "blocked_commodities (those that cannot be routed alone), unserved_nodes (demand nodes short in "
               "every maximum flow), shortfall (units short at demand nodes); with --solve: status, objective, "
               "solve_s; then worker_pid.")
    parser.add_argument("instance", metavar="INSTANCE.min")
    parser.add_argument("--commodities", "-k", type=_args.INT_LIST, required=True, metavar="K,K,...")
    parser.add_argument("--methods", type=_args.METHOD_LIST, required=True, metavar="M,M,...",
                        help=f"among {', '.join(_args.METHODS)}")
    parser.add_argument("--seeds", type=SEED_LIST, required=True, metavar="SEEDS", help="such as 1-50 or 1,4,7-9")
    parser.add_argument("--out", required=True, metavar="DIR")
    parser.add_argument("--csv", default="sweep.csv", metavar="NAME", help="the CSV's name in DIR (default sweep.csv)")
    parser.add_argument("--check", action="store_true",
                        help="route each commodity alone, record what it cannot serve")
    parser.add_argument("--solve", action="store_true", help="also solve each LP (implies --check)")
    parser.add_argument("--no-bundle", action="store_true", help="solve without the bundle rows")
    parser.add_argument("--time-limit", type=_args.POSITIVE, metavar="S", help="seconds per solve")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_args.POSITIVE_INT, metavar="N",
                       help="worker processes of a local cluster (default 2)")
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://10.0.0.5:8786")
    _args.generation_flags(parser)
    parser.set_defaults(run=run, parser=parser)


def run(args: argparse.Namespace) -> int:
    require("distributed")
    if args.check or args.solve:
        require("scipy", "ortools")
    if args.solve:
        require("highspy")
    if args.no_bundle and not args.solve:
        args.parser.error("--no-bundle applies with --solve only")
    caps = _args.pair(args.parser, "--caps", args.caps)
    costs = _args.pair(args.parser, "--costs", args.costs)
    read_instance(args.instance)  # refused here in one line rather than on every worker
    plan = Plan(args.instance, args.methods, args.commodities, args.seeds, caps, costs, args.concentration,
                args.close, check=args.check, solve=args.solve, bundle=not args.no_bundle, time_limit=args.time_limit)
    path, rows = run_sweep(plan, args.out, csv_name=args.csv, workers=args.workers or 2, scheduler=args.scheduler)
    workers = len({row["worker_pid"] for row in rows})
    print(f"{len(rows)} data set{'s' * (len(rows) != 1)} on {workers} worker process{'es' * (workers != 1)}; "
          f"wrote {path}")
    return Status.OK
