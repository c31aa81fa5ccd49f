"""``pelmora solve``: the multicommodity min-cost flow LP, solved by HiGHS."""

from __future__ import annotations

import argparse
import math
import sys
from typing import TYPE_CHECKING, Any

from . import _args, _progress
from ._setup import require
from ._status import Status

if TYPE_CHECKING:
    from ..arrays import DataSetArrays
    from ..check import FeasibilityReport

STATUS_OF = {"optimal": Status.OK, "infeasible": Status.NO_OPTIMUM, "unbounded": Status.NO_OPTIMUM,
             "time-limit": Status.UNDECIDED, "interrupted": Status.INTERRUPTED}


def register(commands: Any) -> None:
    parser = _args.file_command(
        commands, "solve", help="the multicommodity min-cost flow LP, solved by HiGHS",
        description="Solves the multicommodity min-cost flow LP of FILE with HiGHS; if it has no optimum, tells "
                    "which commodities cannot be routed alone.")
    parser.add_argument("--no-bundle", action="store_true", help="leave out the rows that cap each arc's total flow")
    parser.add_argument("--time-limit", type=_args.POSITIVE, metavar="S",
                        help="seconds of HiGHS's own solve (reading the file and building the model come on top); "
                             "Ctrl-C stops the solve within a second, status interrupted (exit 130)")
    _args.json_flag(parser)
    parser.add_argument("--certificate", metavar="FILE.npy",
                        help="verify this certificate and report the gap between its cost and the optimum; a solve "
                             "stopped early still reports the certificate's cost as an upper bound")
    parser.add_argument("--coupling", action="store_true",
                        help="also solve without the bundle rows and report the coupling: both optima, the gap "
                             "(with - without) / |without|, the bundle rows binding and those with a non-zero dual, "
                             "HiGHS's iterations for both")
    parser.set_defaults(run=run, parser=parser)


def explain(arrays: DataSetArrays, status: str, bundle: bool) -> FeasibilityReport:
    """Why a solve found no optimum: each commodity routed alone and the commodities summed, beside
    the bundled model's status (already known, so the model is not solved again)."""
    from ..check import check_feasibility

    return check_feasibility(arrays, bundled=bundle, known=status)


def _explained(arrays: DataSetArrays, status: str, bundle: bool) -> tuple[FeasibilityReport | None, str | None]:
    """The explanation, or what kept it from being given: the solve's verdict stands either way."""
    try:
        return explain(arrays, status, bundle), None
    except KeyboardInterrupt:
        return None, "the explanation was interrupted"
    except (ArithmeticError, MemoryError, ModuleNotFoundError, RuntimeError, ValueError) as error:
        return None, f"the explanation could not be given: {error or type(error).__name__}"


def run(args: argparse.Namespace) -> int:
    require("scipy", "highspy", "ortools")
    from .._highs import highs_process
    from ..lp import solve
    from ._certificate import certificate_json, read_with_certificate
    from ._output import json_line

    if args.coupling and args.no_bundle:
        args.parser.error("--coupling solves with and without the bundle rows; --no-bundle does not apply")
    _, arrays, certified = read_with_certificate(args.file, args.certificate)
    bundle = not args.no_bundle
    progress = _progress.bar(args, unit=" iterations", bar_format="{desc} {n_fmt}{unit} [{elapsed}]{postfix}",
                             desc=f"HiGHS: {arrays.num_arcs * arrays.num_commodities:,} columns, "
                                  f"{arrays.num_nodes * arrays.num_commodities + arrays.num_arcs * bundle:,} rows;")

    def watch(reached: tuple[int, float, float]) -> None:
        assert progress is not None
        progress.n = reached[0]
        if math.isfinite(reached[1]):  # none before the simplex has a basis
            progress.set_postfix_str(f"objective {reached[1]:.10g}", refresh=False)
        progress.refresh()

    coupled = None
    try:
        with highs_process():
            if args.coupling:
                from ..coupling import coupling

                coupled = coupling(arrays, time_limit=args.time_limit)
                result = coupled.bundled
            else:
                result = solve(arrays, bundle=bundle, time_limit=args.time_limit,
                               watch=watch if progress is not None else None)
    finally:
        if progress is not None:
            progress.close()
    report, unexplained = (
        _explained(arrays, result.status, bundle) if result.status in ("infeasible", "unbounded") else (None, None)
    )
    if args.json:
        out: dict[str, Any] = {"status": result.status, "objective": result.objective, "seconds": result.seconds,
                               "bundle": bundle}
        if report is not None:
            out["check"] = report.to_dict()
        if certified is not None:
            out["certificate"] = certificate_json(certified) | {
                "gap": None if result.objective is None else certified[0] - result.objective}
            if result.objective is None:
                out["upper_bound"] = certified[0]
        if unexplained is not None:
            out["check_error"] = unexplained
        if coupled is not None:
            out["coupling"] = coupled.to_dict()
        print(json_line(out))
    else:
        print(f"status     {result.status}")
        print(f"objective  {'-' if result.objective is None else repr(result.objective)}")
        print(f"seconds    {result.seconds:.3f}")
        if report is not None:
            print(report.summary())
        if certified is not None:
            print(certified[1])
            if result.objective is not None:
                print(f"gap        {certified[0] - result.objective!r} (certificate cost - optimum)")
            else:
                print(f"bound      {certified[0]} (the certificate is a feasible solution: the optimum is at most "
                      "its cost)")
        if unexplained is not None:
            print(unexplained)
        if coupled is not None:
            print(coupled.summary())
    status = STATUS_OF.get(result.status, Status.FAILURE)
    if status == Status.FAILURE:
        print(f"pelmora solve: error: the solver stopped without an answer ({result.status})", file=sys.stderr)
    return status
