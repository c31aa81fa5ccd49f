"""``pelmora sweep``: every (method, K, seed) of a study on a dask.distributed cluster."""

from __future__ import annotations

import argparse
import dataclasses
import io
import logging
import os
import stat
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pelmora

from .. import methods
from ..generation import Generation
from ..sweep.plan import MAX_DATA_SETS, Plan, file_name
from . import _args, _feasible
from ._setup import require
from ._status import Failure, Status, about
from ._targets import refuse_collisions

if TYPE_CHECKING:
    from ..sweep import Outcome


def _seed_list(text: str) -> tuple[int, ...]:
    """Seeds as a comma list of numbers and inclusive ranges: "1-50", "3,7,10-12". Their number is
    counted before any is listed, so a range of 2^64 seeds is refused at once."""
    spans: list[tuple[int, int]] = []
    for part in text.split(","):
        first, dash, last = part.partition("-")
        low = _args.SEED(first)
        high = _args.SEED(last) if dash else low
        if high < low:
            raise ValueError
        spans.append((low, high))
    count, reach = 0, -1
    for low, high in sorted(spans):
        count += max(0, high - max(low, reach + 1) + 1)
        reach = max(reach, high)
    if count > MAX_DATA_SETS:
        raise argparse.ArgumentTypeError(
            f"{count} seeds in {text!r}: a sweep makes at most {MAX_DATA_SETS} data sets; split it into several")
    return tuple(dict.fromkeys(seed for low, high in spans for seed in range(low, high + 1)))


SEED_LIST = _args.typed(_seed_list, "seeds and ranges such as 1-50 or 1,4,7-9")

COLUMNS = (
    "CSV columns, one row per data set, appended as each finishes: the parameters, file, heterogeneity, "
    "min_commodity_supply, max_commodity_supply, closed_pairs (arc-commodity pairs closed), generate_s; with "
    "--check or --solve: alone_feasible, blocked_commodities (those that cannot be routed alone), unserved_nodes "
    "(demand nodes short in every maximum flow), shortfall (units short at demand nodes); with --solve: objective, "
    "solve_s; with --coupling: independent_objective (the optimum without the bundle rows), coupling_gap "
    "((objective - independent_objective) / |independent_objective|), binding_rows, priced_rows (bundle rows with a "
    "non-zero dual), iterations, independent_iterations; with --feasible: tightness and congestion (after close), certificate_cost, "
    "with --certificates certificate_file, and, with --solve, certificate_gap (certificate cost - optimum); then "
    "status (the solver's status "
    "with --solve, else 'written'; 'failed' or 'worker-died' for a data set that did not finish), error (one line, "
    "for those) and worker_pid. Exit status 2 if any data set failed; Ctrl-C keeps the finished rows (130)."
)


def register(commands: Any) -> None:
    parser = commands.add_parser(
        "sweep", help="every (method, K, seed) on a dask.distributed cluster",
        description="Generates every combination of methods, commodity counts and seeds (and checks and solves "
                    "them if asked) on a dask.distributed cluster; writes the files and one CSV row per data set "
                    f"into DIR. At most {MAX_DATA_SETS} data sets.",
        epilog=COLUMNS)
    parser.add_argument("instance", metavar="INSTANCE.min",
                        help='a .min file, netgen:"15 integers", or netgen:FILE (one network per problem of the '
                             "parameter file)")
    parser.add_argument("--commodities", "-k", type=_args.INT_LIST, required=True, metavar="K,K,...")
    parser.add_argument("--methods", type=_args.METHOD_LIST, required=True, metavar="M,M,...",
                        help=f"among {', '.join(methods.NAMES)} ({_args.methods_help()})")
    parser.add_argument("--seeds", type=SEED_LIST, required=True, metavar="SEEDS", help="such as 1-50 or 1,4,7-9")
    parser.add_argument("--out", required=True, metavar="DIR")
    parser.add_argument("--csv", default="sweep.csv", metavar="NAME",
                        help="the CSV's name in DIR (default sweep.csv), or an absolute path")
    existing = parser.add_mutually_exclusive_group()
    existing.add_argument("--overwrite", action="store_true", help="replace an existing CSV (refused otherwise)")
    existing.add_argument("--resume", action="store_true",
                          help="add to an existing CSV the rows of the data sets it lacks (one written by the same "
                               "arguments: a CSV with other columns is refused, untouched); the sweep of a stopped "
                               "or a grown grid")
    parser.add_argument("--check", action="store_true",
                        help="route each commodity alone, record what it cannot serve")
    parser.add_argument("--solve", action="store_true", help="also solve each LP (implies --check)")
    parser.add_argument("--no-bundle", action="store_true", help="solve without the bundle rows")
    parser.add_argument("--coupling", action="store_true",
                        help="with --solve: also solve without the bundle rows and add the coupling columns")
    parser.add_argument("--time-limit", type=_args.POSITIVE, metavar="S", help="seconds per solve")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_args.POSITIVE_INT, metavar="N",
                       help="worker processes of a local cluster (default 2)")
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://10.0.0.5:8786")
    parser.add_argument("--timeout", type=_args.POSITIVE, default=60.0, metavar="S",
                        help="give up when the scheduler does not answer for S seconds, or when no worker is "
                             "connected for S seconds while data sets wait (default 60)")
    _args.generation_flags(parser)
    _feasible.add_flags(parser, sweep=True)
    parser.add_argument("--certificates", action="store_true",
                        help="with --feasible: keep each data set's certificate beside its file (NAME.npy)")
    parser.set_defaults(run=run, parser=parser)


def _plans(args: argparse.Namespace) -> list[Plan]:
    """The sweep the flags ask for, one plan per network (a parameter file names several), refused in
    one line where the module would fail on every data set."""
    from ._inputs import problems

    caps = _args.pair(args.parser, "--caps", args.caps)
    costs = _feasible.costs_of(args, _args.pair(args.parser, "--costs", args.costs))
    plan = Plan(args.instance, args.methods, args.commodities, args.seeds, caps, costs, args.concentration,
                args.close, check=args.check, solve=args.solve, bundle=not args.no_bundle, time_limit=args.time_limit,
                feasible=args.feasible, tightness=args.tightness or (0.0,), certificates=args.certificates,
                coupling=args.coupling, congestion=args.congestion or 0.0)
    networks = [source.text for source in problems(args.instance)]
    if plan.size * len(networks) > MAX_DATA_SETS:
        count = f" x {len(networks)} networks" if len(networks) > 1 else ""
        args.parser.error(f"{plan.size * len(networks)} data sets ({len(plan.methods)} methods x {len(plan.commodities)} K "
                          f"x {len(plan.seeds)} seeds{count}): a sweep makes at most {MAX_DATA_SETS}; split it "
                          "into several")
    return [dataclasses.replace(plan, instance=network) for network in networks]


def _instance(path: str) -> pelmora.NetworkInstance:
    """The instance, read here to refuse a bad file in one line rather than on every worker. The
    workers read it again, so a pipe, whose bytes come only once, is refused (a NETGEN network is
    generated from its parameter line instead)."""
    from ._inputs import read_instance, source_of

    if source_of(path).generated:
        return read_instance(path)
    with about(path):
        pipe = stat.S_ISFIFO(os.stat(path).st_mode)
    if pipe:
        raise Failure(f"{path}: a pipe, but every worker reads the instance itself: give a regular file")
    return read_instance(path)


def _refuse_what_fails(plan: Plan, instance: pelmora.NetworkInstance) -> None:
    """A generation the module refuses for this network would fail in every task of its K."""
    if plan.feasible:
        from ._certificate import refuse_unsolvable

        refuse_unsolvable(instance)
    for k in plan.commodities:
        for method in plan.methods:
            if reason := Generation(k, method, concentration=plan.concentration).refusal(instance):
                raise Failure(reason)


def _quiet_cluster() -> None:
    """distributed logs a cluster's troubles (a worker that died, a scheduler lost) with tracebacks
    on standard error; the sweep reports them itself, in its rows and one line. --debug keeps them."""
    for name in ["distributed", *logging.root.manager.loggerDict]:
        if name.split(".")[0] in ("distributed", "tornado"):
            logging.getLogger(name).setLevel(logging.CRITICAL)
    os.environ["DASK_LOGGING__DISTRIBUTED"] = "critical"  # read by the local worker processes


def run(args: argparse.Namespace) -> int:
    from ..sweep import Interrupted, Stopped, csv_path, run_sweep
    from ._inputs import source_of

    require("distributed")
    _feasible.check_flags(args)
    if args.feasible:
        require("ortools")
    if not args.debug:
        _quiet_cluster()
    if args.check or args.solve:
        require("scipy", "ortools")
    if args.solve:
        require("highspy")
    if args.no_bundle and not args.solve:
        args.parser.error("--no-bundle applies with --solve only")
    if args.coupling and (not args.solve or args.no_bundle):
        args.parser.error("--coupling applies with --solve and the bundle rows only")
    plans = _plans(args)
    try:
        path = csv_path(args.out, args.csv)
    except ValueError as error:
        raise Failure(f"--csv: {error}") from None
    if path.exists() and not (args.overwrite or args.resume):
        raise Failure(f"{path}: the CSV exists; --overwrite replaces it, --resume adds the rows it lacks")
    if args.certificates and not args.feasible:
        args.parser.error("--certificates applies with --feasible only")
    names = [file_name(point) for plan in plans for point in plan.points()]
    if args.certificates:
        names += [str(Path(name).with_suffix(".npy")) for name in names]
    refuse_collisions(source_of(args.instance).files(), [path, *(os.path.join(args.out, name) for name in names)])
    arcs = {}
    for plan in plans:
        instance = _instance(plan.instance)
        _refuse_what_fails(plan, instance)
        arcs[plan.instance] = instance.num_arcs
    started = time.monotonic()
    try:
        outcome = run_sweep(plans, args.out, csv_name=args.csv, overwrite=args.overwrite, resume=args.resume,
                            workers=args.workers or 2, scheduler=args.scheduler, timeout=args.timeout, arcs=arcs,
                            bar=io.StringIO() if args.quiet else None)  # not a terminal: no bar
    except ValueError as error:  # a CSV to resume that another sweep wrote
        raise Failure(str(error)) from None
    except Interrupted as stop:
        print(_summary(stop.outcome, time.monotonic() - started), flush=True)
        raise Failure(f"interrupted; the {len(stop.outcome.written)} finished rows are in {path}",
                      Status.INTERRUPTED) from None
    except Stopped as stop:
        print(_summary(stop.outcome, time.monotonic() - started), flush=True)
        raise Failure(str(stop)) from None
    print(_summary(outcome, time.monotonic() - started), flush=True)
    if outcome.failed:
        raise Failure(f"{outcome.failed} of {outcome.planned} data sets failed: see the status and error columns "
                      f"of {outcome.path}")
    return Status.OK


def _summary(outcome: Outcome, seconds: float) -> str:
    rows = outcome.written.values()
    workers = len({row["worker_pid"] for row in rows if row.get("worker_pid")})
    todo = outcome.planned - outcome.kept
    done = f"{len(rows)} of {todo}" if len(rows) != todo else f"{len(rows)}"
    kept = f" ({outcome.kept} already in the CSV)" if outcome.kept else ""
    return (f"{done} data set{'s' * (todo != 1)}{kept}, {outcome.failed} failed, on {workers} worker "
            f"process{'es' * (workers != 1)} in {outcome.seconds:.1f} s; wrote {outcome.path}")
