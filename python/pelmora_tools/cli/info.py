"""``pelmora info``: what a ".min" or multicommodity file holds, and whether it can be solved."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from . import _args, _progress
from ._setup import require
from ._status import Status


def register(commands: Any) -> None:
    parser = _args.file_command(
        commands, "info", help="what a .min or multicommodity file holds",
        description="Counts, commodities, flags, seed, per-commodity supply and closed arcs, and the "
                    "heterogeneity score of a .min or multicommodity file.")
    _args.json_flag(parser)
    parser.add_argument("--check", action="store_true",
                        help="also say whether the LP has a solution: each commodity routed alone, the commodities "
                             "summed, and the LP solved only when these leave the bundle rows open (needs the solve "
                             "extra); exit 1 infeasible, 3 undecided")
    parser.add_argument("--time-limit", type=_args.POSITIVE, metavar="S",
                        help="with --check: seconds for the whole check; what it has not decided by then is "
                             "undecided (exit 3)")
    parser.add_argument("--certificate", metavar="FILE.npy",
                        help="with --check: verify this certificate; one that verifies settles the check (feasible, "
                             "exit 0) without routing or solving")
    parser.set_defaults(run=run, parser=parser)


# The text table stops here; the JSON lists every commodity.
_ROWS = 1000


def _yes(flag: bool) -> str:
    return "yes" if flag else "no"


def render(described: dict[str, Any]) -> str:
    """The text of ``pelmora info``; commodities are numbered from 0, as in the files and the arrays."""
    lines = [
        f"file            {described['file']} ({described['kind']})",
        f"nodes, arcs     {described['nodes']}, {described['arcs']} "
        f"({'as read' if described['kind'] == 'mnetgen' else 'as declared'})",
        f"commodities     {described['commodities']}",
    ]
    if described["kind"] == "multicommodity":
        closing = f"yes, fraction {described['closed_fraction']!r}" if described["closing"] else "no"
        lines += [
            f"method, seed    {described['method']}, {described['seed']}",
            f"randomised      capacities {_yes(described['randomized_capacities'])}, "
            f"costs {_yes(described['randomized_costs'])}",
            f"closing         {closing}",
        ]
    score = described["heterogeneity"]
    lines.append(f"heterogeneity   {'-' if score is None else f'{score:.6f}'}")
    lines.append("commodity  supply  closed arcs")
    shown = described["supply"][:_ROWS].tolist(), described["closed_arcs"][:_ROWS].tolist()
    width = max([len("supply"), *(len(str(s)) for s in shown[0])])
    for c, (supply, closed) in enumerate(zip(*shown, strict=True)):
        lines.append(f"{c:>9}  {supply:>{width}}  {closed:>11}")
    if described["commodities"] > _ROWS:
        lines.append(f"... and {described['commodities'] - _ROWS} more commodities (--json lists them all)")
    return "\n".join(lines)


def run(args: argparse.Namespace) -> int:
    from ..summary import describe
    from ._certificate import certificate_json, read_with_certificate
    from ._output import write_json

    if args.check:
        require("scipy", "highspy", "ortools")
    elif args.time_limit is not None:
        args.parser.error("--time-limit applies with --check only")
    if args.certificate and not args.check:
        args.parser.error("--certificate applies with --check only")
    problem, arrays, certified = read_with_certificate(args.file, args.certificate)
    described = describe(args.file, problem, arrays)
    report = None
    if args.check and certified:
        from ..check import certified as certified_report

        report = certified_report(arrays)  # a feasible flow settles it: no LP
    elif args.check:
        from .._highs import highs_process
        from ..check import check_feasibility

        progress = _progress.bar(args, bar_format="check: {desc} {n_fmt}/{total_fmt} [{elapsed}]")

        def stage(what: str, done: int, total: int) -> None:
            assert progress is not None
            progress.set_description_str(what, refresh=False)
            if done == 0:
                progress.reset(total)
            progress.n = done
            progress.refresh()

        try:
            with highs_process():
                report = check_feasibility(arrays, time_limit=args.time_limit,
                                           stage=stage if progress is not None else None)
        finally:
            if progress is not None:
                progress.close()
    if args.json:
        extra = {"certificate": certificate_json(certified)} if certified else {}
        write_json(sys.stdout, described | ({"check": report.to_dict()} if report else {}) | extra)
    else:
        print(render(described))
        if report:
            print(report.summary())
        if certified:
            print(certified[1])
    if report is None or report.verdict == "feasible":
        return Status.OK
    if report.verdict == "infeasible":
        return Status.NO_OPTIMUM
    return Status.INTERRUPTED if report.bundled_status == "interrupted" else Status.UNDECIDED
