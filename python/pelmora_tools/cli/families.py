"""``pelmora gridgen``, ``pelmora goto`` and ``pelmora mnetgen``: the networks (and MNETGEN's four
files) the classic generators make for their parameters. The commands' modules (gridgen, goto,
mnetgen) register their subparsers from here."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

from .. import families as fam
from . import _args, _progress
from ._status import Failure, Status, about, os_text

INTEGER = _args.typed(int, "an integer")
NUMBER = _args.typed(float, "a number")

_GRIDGEN_FLAGS = ("seed", "nodes", "width", "sources", "sinks", "degree", "supply")
_GOTO_FLAGS = {"nodes": "--nodes", "arcs": "--arcs", "max_cap": "--max-cap", "max_cost": "--max-cost", "seed": "--seed"}


_DOCS = "docs/families.md describes the parameters and the ones refused."


def _command(
    commands: Any, name: str, help: str, description: str, epilog: str | None = None
) -> argparse.ArgumentParser:
    """A generator's subcommand, its description ending with where its parameters are described."""
    parser: argparse.ArgumentParser = commands.add_parser(
        name, help=help, description=description + _DOCS, epilog=epilog
    )
    return parser


def register_gridgen(commands: Any) -> None:
    gridgen = _command(
        commands, "gridgen", help="GRIDGEN's network (a grid and a super node), as its classic C program writes it",
        description="Writes the network the classic GRIDGEN generator (Lee and Orlin) makes for the parameters: "
                    "its problem, node and arc lines, byte for byte, after comment lines naming the parameters. "
                    "Give the parameters as one line (--params, in GRIDGEN's input order) or as the flags. ",
        epilog='Elsewhere, gridgen:"..." names the same network where a .min instance is expected.')
    gridgen.add_argument("out", metavar="OUT.min", help="the file to write")
    gridgen.add_argument("--params", metavar='"TWO_WAY SEED NODES WIDTH ..."',
                         help="two_way seed nodes width sources sinks degree supply, the cost distribution (1 low "
                              "high, or 2 lambda) and the capacity distribution (the same); or gridgen:FILE")
    named = gridgen.add_argument_group("the parameters as flags (instead of --params)")
    named.add_argument("--two-way", action="store_true", help="arcs both ways between neighbours (default one way)")
    for name in _GRIDGEN_FLAGS:
        named.add_argument(f"--{name}", type=INTEGER, metavar="N", help=name)
    for what in ("cost", "cap"):
        choice = named.add_mutually_exclusive_group()
        choice.add_argument(f"--{what}-uniform", nargs=2, type=NUMBER, metavar=("LOW", "HIGH"),
                            help=f"{what}s drawn uniformly")
        choice.add_argument(f"--{what}-exponential", type=NUMBER, metavar="LAMBDA",
                            help=f"{what}s drawn exponentially")
    gridgen.set_defaults(run=_run_gridgen, parser=gridgen)


def register_goto(commands: Any) -> None:
    goto = _command(
        commands, "goto", help="GOTO's network (a grid on a torus), as its classic C program writes it",
        description="Writes the network the classic GOTO generator (Goldberg) makes for its five parameters: its "
                    "problem, node and arc lines, byte for byte (column widths included), after comment lines. ",
        epilog='Elsewhere, goto:"N M MAXCAP MAXCOST SEED" names the same network where a '
               '.min instance is expected.')  # fmt: skip
    goto.add_argument("out", metavar="OUT.min", help="the file to write")
    goto.add_argument("--params", metavar='"N M MAXCAP MAXCOST SEED"', help="the five parameters; or goto:FILE")
    named = goto.add_argument_group("the parameters as flags (instead of --params)")
    for name, flag in _GOTO_FLAGS.items():
        named.add_argument(flag, type=INTEGER, metavar="N", dest=name, help=name)
    goto.set_defaults(run=_run_goto, parser=goto)


def register_mnetgen(commands: Any) -> None:
    mnetgen = _command(
        commands, "mnetgen", help="MNETGEN's multicommodity problem as its four files, as its C++ program writes them",
        description="Writes PREFIX.nod, PREFIX.arc, PREFIX.sup and PREFIX.mut byte for byte as MNETGEN (Kennington "
                    "and Ali; the C++ form with drand48 and four files) writes them for its 21 numbers. ")
    mnetgen.add_argument("prefix", metavar="PREFIX", help="the files' path without .nod, .arc, .sup, .mut")
    mnetgen.add_argument("--params", metavar='"21 numbers"', required=True,
                         help="iseed nprob nodes dens nsorc nsink ncomm ntsorc ntsink lchain mincst maxcst minsup "
                              "maxsup minbnd maxbnd mincap maxcap bhicst bbnd bcap")
    mnetgen.set_defaults(run=_run_mnetgen, parser=mnetgen)


def _from_params(args: argparse.Namespace, prefix: str, title: str, parse: Callable[[str], Any]) -> Any:
    """The parameters --params gives: its line, or the one problem of a parameter file."""
    text = args.params
    if text.startswith(prefix):
        from ._inputs import problems  # the parameter file's reading (and its imports) only here

        lines = [p.body for p in problems(text)]
        if len(lines) != 1:
            raise Failure(f"{text}: {len(lines)} {title} problems, where one is expected")
        text = lines[0]
    with about("--params"):
        return parse(text)


def _given(args: argparse.Namespace, names: dict[str, str]) -> dict[str, Any]:
    values = {name: getattr(args, name) for name in names if getattr(args, name) not in (None, False)}
    if args.params is not None:
        if values:
            args.parser.error(f"--params or the flags, not both (also given: {' '.join(names[n] for n in values)})")
        return {}
    missing = [flag for name, flag in names.items() if name not in values and not flag.startswith("--two")]
    if missing:
        args.parser.error(f"the parameters need --params or these flags: {' '.join(missing)}")
    return values


def _write(args: argparse.Namespace, family: str, write: Callable[[], fam.FamilySummary]) -> int:
    try:
        with _progress.Steps(args) as steps:
            steps(f"write {args.out}", moving="written")
            summary = write()
    except ValueError as error:  # a bad parameter, refused before any file is touched
        raise Failure(str(error)) from error
    except OSError as error:
        raise Failure(f"{args.out}: {os_text(error)}") from error
    _progress.done(args, f"wrote {_progress.sizes(args.out)}: a {family} network of {summary.nodes:,} nodes and "
                         f"{summary.arcs:,} arcs")
    return Status.OK


def _run_gridgen(args: argparse.Namespace) -> int:
    names = {"two_way": "--two-way", **{n: f"--{n}" for n in _GRIDGEN_FLAGS},
             "cost_uniform": "--cost-uniform|--cost-exponential", "cap_uniform": "--cap-uniform|--cap-exponential"}
    for what in ("cost", "cap"):  # either choice fills its distribution
        if getattr(args, f"{what}_uniform") is None and getattr(args, f"{what}_exponential") is not None:
            setattr(args, f"{what}_uniform", [getattr(args, f"{what}_exponential")])
    values = _given(args, names)
    if args.params is not None:
        params = _from_params(args, "gridgen:", "GRIDGEN", fam.parse_gridgen_params)
    else:
        def distribution(v: list[float]) -> tuple[int, tuple[float, ...]]:
            return (fam.UNIFORM if len(v) == 2 else fam.EXPONENTIAL), tuple(v)

        cost, cap = distribution(values["cost_uniform"]), distribution(values["cap_uniform"])
        params = fam.GridgenParams(two_way=int(bool(values.get("two_way"))), **{n: values[n] for n in _GRIDGEN_FLAGS},
                                   cost_distribution=cost[0], cost=cost[1], capacity_distribution=cap[0],
                                   capacity=cap[1])  # fmt: skip
    return _write(args, "GRIDGEN", lambda: fam.gridgen(params, out=args.out))


def _run_goto(args: argparse.Namespace) -> int:
    values = _given(args, _GOTO_FLAGS)
    params = (_from_params(args, "goto:", "GOTO", fam.parse_goto_params) if args.params is not None
              else fam.GotoParams(**values))  # fmt: skip
    return _write(args, "GOTO", lambda: fam.goto(params, out=args.out))


def _run_mnetgen(args: argparse.Namespace) -> int:
    with about("--params"):
        params = fam.parse_mnetgen_params(args.params)
    try:
        with _progress.Steps(args) as steps:
            steps(f"write {args.prefix}.*", moving="written")
            summary = fam.mnetgen_files(params, args.prefix)
    except (ValueError, OSError) as error:  # a file's error names its path
        raise Failure(str(error)) from error
    files = [f"{args.prefix}{suffix}" for suffix in (".nod", ".arc", ".sup", ".mut")]
    _progress.done(args, f"wrote {_progress.sizes(*files)}: {summary.nodes:,} nodes and {summary.arcs:,} arcs")
    return Status.OK
