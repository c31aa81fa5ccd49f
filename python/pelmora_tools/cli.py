"""The ``pelmora`` command: generate, inspect, export, solve and sweep multicommodity data sets.

Exit status: 0 success, 1 the model is infeasible or unbounded, 2 a usage error or a failure
(unreadable file, bad data, missing package, solver error), 3 the time limit ended the solve
before it decided. Errors are one line on standard error.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import json
import math
import sys
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, NoReturn

import pelmora

from . import info as info_mod
from .arrays import DataSetArrays, load_arrays
from .sweep import METHODS, Generation, Plan, run_sweep

EXIT_OK, EXIT_NO_OPTIMUM, EXIT_ERROR, EXIT_UNDECIDED = 0, 1, 2, 3
SOLVE_EXIT = {"optimal": EXIT_OK, "infeasible": EXIT_NO_OPTIMUM, "unbounded": EXIT_NO_OPTIMUM,
              "time-limit": EXIT_UNDECIDED}
EXTRAS = {"highspy": "solve", "scipy": "solve", "distributed": "sweep"}


class Failure(Exception):
    """A failure the command reports as one line (exit status 2)."""


class Parser(argparse.ArgumentParser):
    """argparse with its errors on one line: the program, the message and where help is."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_ERROR, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


# --- Argument types: each turns one token into a value or says in one line why it cannot ---------

def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError
    return value


def _fraction(text: str) -> float:
    value = float(text)
    if not 0.0 < value < 1.0:
        raise ValueError
    return value


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError
    return value


def _positive(text: str) -> float:
    value = _finite(text)
    if value <= 0:
        raise ValueError
    return value


def _seed(text: str) -> int:
    value = int(text)
    if not 0 <= value < 2**64:
        raise ValueError
    return value


def _int_list(text: str) -> tuple[int, ...]:
    return tuple(_positive_int(part) for part in text.split(","))


def _method_list(text: str) -> tuple[str, ...]:
    names = tuple(text.split(","))
    if not set(names) <= set(METHODS):
        raise ValueError
    return names


def _seed_list(text: str) -> tuple[int, ...]:
    """Seeds as a comma list of numbers and inclusive ranges: "1-50", "3,7,10-12"."""
    seeds: list[int] = []
    for part in text.split(","):
        first, dash, last = part.partition("-")
        low, high = _seed(first), _seed(last) if dash else _seed(first)
        if high < low:
            raise ValueError
        seeds.extend(range(low, high + 1))
    return tuple(dict.fromkeys(seeds))


def _typed(function: Callable[[str], Any], what: str) -> Callable[[str], Any]:
    """An argparse type whose error message says what was expected."""

    def convert(text: str) -> Any:
        try:
            return function(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {what}, got {text!r}") from None

    convert.__name__ = what
    return convert


POSITIVE_INT = _typed(_positive_int, "an integer of at least 1")
FRACTION = _typed(_fraction, "a fraction between 0 and 1 (exclusive)")
FINITE = _typed(_finite, "a finite number")
POSITIVE = _typed(_positive, "a number above 0")
SEED = _typed(_seed, "an integer from 0 to 2^64 - 1")
INT_LIST = _typed(_int_list, "comma-separated integers of at least 1, such as 2,5,10")
METHOD_LIST = _typed(_method_list, f"comma-separated methods among {','.join(METHODS)}")
SEED_LIST = _typed(_seed_list, "seeds and ranges such as 1-50 or 1,4,7-9")


def _generation_flags(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--caps", nargs=2, type=FINITE, metavar=("A", "B"),
                        help="randomise each commodity's capacity in [A*up, B*up) (off by default)")
    parser.add_argument("--costs", nargs=2, type=FINITE, metavar=("A", "B"),
                        help="randomise each commodity's cost in [A*cost, B*cost) (off by default)")
    parser.add_argument("--concentration", type=POSITIVE, default=3.0, metavar="C",
                        help="concentration of the beta-binomial split (default 3.0)")
    parser.add_argument("--close", type=FRACTION, metavar="P",
                        help="close about a fraction P of the arcs to each commodity (off by default)")


def _pair(values: list[float] | None) -> tuple[float, float] | None:
    return (values[0], values[1]) if values else None


def build_parser() -> Parser:
    parser = Parser(prog="pelmora", description=__doc__.split("\n\n")[0] if __doc__ else None,
                    epilog="exit status: 0 success, 1 infeasible or unbounded, 2 usage error or failure, "
                           "3 time limit reached")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=Parser)

    gen = commands.add_parser("generate", help="a multicommodity file from a DIMACS .min file",
                              description="Generates a multicommodity data set from a DIMACS .min file and "
                                          "writes it as save_multi_commodity_instance does.")
    gen.add_argument("instance", metavar="INSTANCE.min")
    gen.add_argument("out", metavar="OUT", help="the multicommodity file to write")
    gen.add_argument("--commodities", "-k", type=POSITIVE_INT, required=True, metavar="K")
    gen.add_argument("--method", choices=list(METHODS), required=True)
    gen.add_argument("--seed", type=SEED, default=42, help="default 42")
    _generation_flags(gen)

    inf = commands.add_parser("info", help="what a .min or multicommodity file holds",
                              description="Counts, commodities, flags, seed, per-commodity supply and closed "
                                          "arcs, and the heterogeneity score of a .min or multicommodity file.")
    inf.add_argument("file", metavar="FILE")
    inf.add_argument("--json", action="store_true", help="one JSON object on standard output")
    inf.add_argument("--check", action="store_true",
                     help="also route each commodity alone and solve the bundled model (needs highspy)")

    exp = commands.add_parser("export", help="to the mnetgen four-file format, MPS or CPLEX LP",
                              description="Writes the data set of FILE for other solvers. TARGET is a path "
                                          "prefix for mnetgen's four files, else the file to write (its suffix "
                                          "must be .mps or .lp, as --to says).")
    exp.add_argument("file", metavar="FILE")
    exp.add_argument("--to", choices=["mnetgen", "mps", "lp"], required=True)
    exp.add_argument("target", metavar="TARGET")
    exp.add_argument("--no-bundle", action="store_true", help="mps, lp: leave the bundle rows out")
    exp.add_argument("--map", action="store_true",
                     help="mnetgen: also write TARGET.map, each node's number in the files and its id")

    sol = commands.add_parser("solve", help="the multicommodity min-cost flow LP, solved by HiGHS",
                              description="Solves the multicommodity min-cost flow LP of FILE with HiGHS; if "
                                          "it has no optimum, tells which commodities cannot be routed alone.")
    sol.add_argument("file", metavar="FILE")
    sol.add_argument("--no-bundle", action="store_true", help="leave out the rows that cap each arc's total flow")
    sol.add_argument("--time-limit", type=POSITIVE, metavar="S", help="seconds")
    sol.add_argument("--json", action="store_true", help="one JSON object on standard output")

    swp = commands.add_parser("sweep", help="every (method, K, seed) on a dask.distributed cluster",
                              description="Generates every combination of methods, commodity counts and seeds "
                                          "(and checks and solves them if asked) on a dask.distributed cluster; "
                                          "writes the files and one CSV row per data set into DIR.",
                              epilog="CSV columns: the parameters, file, heterogeneity, min_commodity_supply, "
                                     "max_commodity_supply, closed_pairs (arc-commodity pairs closed), generate_s; "
                                     "with --check or --solve: alone_feasible, blocked_commodities (those that "
                                     "cannot be routed alone), unserved_nodes, shortfall (units short at demand "
                                     "nodes); with --solve: status, objective, solve_s; then worker_pid.")
    swp.add_argument("instance", metavar="INSTANCE.min")
    swp.add_argument("--commodities", "-k", type=INT_LIST, required=True, metavar="K,K,...")
    swp.add_argument("--methods", type=METHOD_LIST, required=True, metavar="M,M,...",
                     help=f"among {', '.join(METHODS)}")
    swp.add_argument("--seeds", type=SEED_LIST, required=True, metavar="SEEDS", help="such as 1-50 or 1,4,7-9")
    swp.add_argument("--out", required=True, metavar="DIR")
    swp.add_argument("--csv", default="sweep.csv", metavar="NAME", help="the CSV's name in DIR (default sweep.csv)")
    swp.add_argument("--check", action="store_true", help="route each commodity alone, record what it cannot serve")
    swp.add_argument("--solve", action="store_true", help="also solve each LP (implies --check)")
    swp.add_argument("--no-bundle", action="store_true", help="solve without the bundle rows")
    swp.add_argument("--time-limit", type=POSITIVE, metavar="S", help="seconds per solve")
    where = swp.add_mutually_exclusive_group()
    where.add_argument("--workers", type=POSITIVE_INT, default=2, metavar="N",
                       help="worker processes of a local cluster (default 2)")
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://10.0.0.5:8786")
    _generation_flags(swp)
    return parser


# --- Commands --------------------------------------------------------------------------------------

def require(*modules: str) -> None:
    """Fails in one line, naming the extra to install, if an optional package is missing."""
    for module in modules:
        try:
            importlib.import_module(module)
        except ImportError:
            raise Failure(f"this needs {module}: pip install 'pelmora[{EXTRAS[module]}]'") from None


@contextlib.contextmanager
def about(path: str) -> Iterator[None]:
    """Reports a failure to read or write `path` as one line that names it."""
    try:
        yield
    except (OSError, RuntimeError, ValueError) as error:
        # Python's own OSError names the file in its text already; the module's gives only the reason.
        why = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        raise Failure(f"{path}: {why}") from None


def _read(path: str) -> DataSetArrays:
    with about(path):
        return load_arrays(path)


def cmd_generate(args: argparse.Namespace) -> int:
    with about(args.instance):
        instance = pelmora.load_min_instance(args.instance)
    point = Generation(args.commodities, args.method, args.seed, _pair(args.caps), _pair(args.costs),
                       args.concentration, args.close)
    data = point.run(instance)
    with about(args.out):
        pelmora.save_multi_commodity_instance(args.out, instance, data)
    return EXIT_OK


def cmd_info(args: argparse.Namespace) -> int:
    if args.check:
        require("scipy", "highspy")
    with about(args.file):
        described, arrays = info_mod.describe(args.file)
    report = None
    if args.check:
        from .check import check_feasibility

        report = check_feasibility(arrays)
    if args.json:
        print(json.dumps(described | ({"check": report.to_dict()} if report else {})))
    else:
        print(info_mod.render(described))
        if report:
            print(report.summary())
    return EXIT_NO_OPTIMUM if report and not report.feasible else EXIT_OK


def cmd_export(args: argparse.Namespace) -> int:
    if args.to == "mnetgen":
        if args.no_bundle:
            raise Failure("--no-bundle applies to --to mps and --to lp only")
        from .mnetgen import export_mnetgen

        export_mnetgen(_read(args.file), args.target, write_map=args.map)
        return EXIT_OK
    if args.map:
        raise Failure("--map applies to --to mnetgen only")
    if Path(args.target).suffix != f".{args.to}":
        raise Failure(f"TARGET must end in .{args.to} for --to {args.to}, got {args.target!r}")
    require("highspy")
    from .lp import write_model

    write_model(_read(args.file), args.target, bundle=not args.no_bundle)
    return EXIT_OK


def cmd_solve(args: argparse.Namespace) -> int:
    require("scipy", "highspy")
    from .lp import solve

    arrays = _read(args.file)
    result = solve(arrays, bundle=not args.no_bundle, time_limit=args.time_limit)
    report = info_mod.explain(arrays, result.status) if result.status in ("infeasible", "unbounded") else None
    if args.json:
        out: dict[str, Any] = {"status": result.status, "objective": result.objective, "seconds": result.seconds,
                               "bundle": not args.no_bundle}
        if report is not None:
            out["check"] = report.to_dict()
        print(json.dumps(out))
    else:
        print(f"status     {result.status}")
        print(f"objective  {'-' if result.objective is None else repr(result.objective)}")
        print(f"seconds    {result.seconds:.3f}")
        if report is not None:
            print(report.summary())
    code = SOLVE_EXIT.get(result.status, EXIT_ERROR)
    if code == EXIT_ERROR:
        print(f"pelmora solve: error: the solver stopped without an answer ({result.status})", file=sys.stderr)
    return code


def cmd_sweep(args: argparse.Namespace) -> int:
    require("distributed")
    if args.check or args.solve:
        require("scipy")
    if args.solve:
        require("highspy")
    if args.no_bundle and not args.solve:
        raise Failure("--no-bundle applies with --solve only")
    if not Path(args.instance).is_file():
        raise Failure(f"{args.instance}: no such file")
    plan = Plan(args.instance, args.methods, args.commodities, args.seeds, _pair(args.caps), _pair(args.costs),
                args.concentration, args.close, check=args.check, solve=args.solve, bundle=not args.no_bundle,
                time_limit=args.time_limit)
    path, rows = run_sweep(plan, args.out, csv_name=args.csv, workers=args.workers, scheduler=args.scheduler)
    workers = len({row["worker_pid"] for row in rows})
    print(f"{len(rows)} data sets on {workers} worker processes; wrote {path}")
    return EXIT_OK


COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "generate": cmd_generate, "info": cmd_info, "export": cmd_export, "solve": cmd_solve, "sweep": cmd_sweep,
}


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return COMMANDS[args.command](args)
    except (Failure, OSError, RuntimeError, ValueError, OverflowError, MemoryError) as error:
        print(f"pelmora {args.command}: error: {error}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        print(f"pelmora {args.command}: interrupted", file=sys.stderr)
        return 130
