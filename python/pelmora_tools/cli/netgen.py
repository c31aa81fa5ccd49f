"""``pelmora netgen``: the network the classic NETGEN generator makes for 15 parameters."""

from __future__ import annotations

import argparse

from . import _args, _progress
from ._status import Failure, Status, about
from ._targets import refuse_collisions

TYPE_CHECKING = False  # typing's, without importing typing before a command needs it
if TYPE_CHECKING:
    from typing import Any

    from ..netgen import NetgenParams

_Flag = tuple[str, tuple[str, ...], str | tuple[str, str]]


def _each(metavar: str, *names: str) -> tuple[_Flag, ...]:
    return tuple((f"--{name}", (name,), metavar) for name in names)


# (flag, parameter names, metavar); the order of NETGEN's parameter line.
_FLAGS: tuple[_Flag, ...] = (
    *_each("N", "seed", "problem", "nodes", "sources", "sinks", "arcs"),
    ("--cost", ("min_cost", "max_cost"), ("MIN", "MAX")),
    *_each("N", "supply", "tsources", "tsinks"),
    *_each("PERCENT", "hicost", "capacitated"),
    ("--caps", ("min_cap", "max_cap"), ("MIN", "MAX")),
)
# Flags that may be left out, and their values.
_DEFAULTS = {"problem": 1, "tsources": 0, "tsinks": 0}
INTEGER = _args.typed(int, "an integer")


def register(commands: Any) -> None:
    parser = commands.add_parser(
        "netgen", help="NETGEN's network for 15 parameters, as its classic C program writes it",
        description="Writes the network the classic NETGEN generator (Klingman, Napier and Stutz 1974; the C "
                    "program with the 1992 fix) makes for the parameters: its problem, node and arc lines, byte "
                    "for byte, after comment lines naming the parameters. Give the parameters as one line "
                    "(--params, in NETGEN's order) or as the flags; docs/netgen.md lists the standard families.",
        epilog="Elsewhere, netgen:\"15 integers\" (or netgen:FILE, a parameter file) names the same network "
               "where a .min instance is expected: pelmora generate netgen:\"...\" OUT.mcf ...")
    parser.add_argument("out", metavar="OUT.min", help="the file to write")
    parser.add_argument("--standard", type=INTEGER, metavar="N",
                        help="Klingman's standard problem N (101 to 150), its parameters as published "
                             "(docs/netgen.md lists them with their optima)")
    parser.add_argument("--params", metavar='"SEED PROBLEM NODES ..."',
                        help="the 15 integers of a parameter line: seed, problem, nodes, sources, sinks, arcs, "
                             "min cost, max cost, supply, tsources, tsinks, hicost%%, capacitated%%, min cap, max cap; "
                             "or netgen:FILE, a parameter file of one problem")
    named = parser.add_argument_group("the parameters as flags (instead of --params)")
    for flag, names, metavar in _FLAGS:
        default = f" (default {_DEFAULTS[names[0]]})" if names[0] in _DEFAULTS else ""
        named.add_argument(flag, nargs=len(names) if len(names) > 1 else None, type=INTEGER, metavar=metavar,
                           dest=flag[2:], help=", ".join(names) + default)
    parser.add_argument("--min-form", action="store_true",
                        help="write an assignment or maximum flow problem as the minimum-cost flow problem it is "
                             "(a 'p min' file that .min readers take)")
    parser.set_defaults(run=run, parser=parser)


def params_of(args: argparse.Namespace) -> NetgenParams:
    """The parameters from --params or the flags; the parser's one-line refusal when both or
    neither are given, or a flag is missing."""
    from ..netgen import NetgenParams, parse_netgen_params  # loaded for a run, not for the parser

    given = [flag for flag, _, _ in _FLAGS if getattr(args, flag[2:]) is not None]
    if args.standard is not None:
        if args.params is not None or given:
            args.parser.error(f"--standard or --params or the flags, not several ({' '.join(given or ['--params'])})")
        from ..netgen_standard import standard_params

        with about("--standard"):
            return standard_params(args.standard)
    if args.params is not None:
        if given:
            args.parser.error(f"--params or the flags, not both (also given: {' '.join(given)})")
        from ._inputs import problems  # NumPy's readers come with it: imported for the run alone

        lines = [p.body for p in problems(args.params)] if args.params.startswith("netgen:") else None
        if lines is not None and len(lines) != 1:
            raise Failure(f"{args.params}: {len(lines)} NETGEN problems, where one is expected")
        with about("--params"):
            return parse_netgen_params(lines[0] if lines else args.params)
    values: dict[str, int] = dict(_DEFAULTS)
    missing = []
    for flag, names, _ in _FLAGS:
        value = getattr(args, flag[2:])
        if value is None:
            if names[0] not in _DEFAULTS:
                missing.append(flag)
            continue
        values.update(zip(names, value if isinstance(value, list) else [value]))
    if missing:
        args.parser.error(f"the parameters need --params or these flags: {' '.join(missing)}")
    return NetgenParams(**values)


def run(args: argparse.Namespace) -> int:
    from ..netgen import netgen

    if args.params is not None and ":" in args.params:  # a generator's parameter file is an input
        from ._inputs import source_of  # as params_of, for a run alone

        given = source_of(args.params)
        refuse_collisions(given.files() if given.generated else [], [args.out])
    params = params_of(args)
    try:
        with _progress.Steps(args) as steps:
            steps(f"write {args.out}", moving="written")
            summary = netgen(params, out=args.out, min_form=args.min_form)
    except ValueError as error:  # a bad parameter, refused before the file is touched
        raise Failure(str(error)) from error
    except OSError as error:
        from ._inputs import os_failure

        raise os_failure(args.out, error) from error
    _progress.done(args, f"wrote {_progress.sizes(args.out)}: a {summary.form} problem of {summary.nodes:,} nodes "
                         f"and {summary.arcs:,} arcs")
    return Status.OK
