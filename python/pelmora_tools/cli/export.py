"""``pelmora export``: a data set for other solvers (mnetgen's four files, MPS, CPLEX LP)."""

from __future__ import annotations

import argparse
import contextlib
from pathlib import Path
from typing import Any

from . import _args, _progress
from ._status import Failure, Status, about
from ._targets import refuse_collisions

FORMATS = ("mnetgen", "mps", "lp")
MNETGEN_SUFFIXES = (".nod", ".arc", ".sup", ".mut", ".map")


def _format(text: str) -> str:
    if text.lower() not in FORMATS:
        raise ValueError
    return text.lower()


def register(commands: Any) -> None:
    parser = _args.file_command(
        commands, "export", help="to the mnetgen four-file format, MPS or CPLEX LP",
        description="Writes the data set of FILE for other solvers. TARGET is a path prefix for mnetgen's four "
                    "files, else the file to write (its suffix, in any case, must be .mps or .lp, as --to says).")
    parser.add_argument("--to", type=_args.typed(_format, f"one of {', '.join(FORMATS)}"), required=True)
    parser.add_argument("target", metavar="TARGET")
    parser.add_argument("--no-bundle", action="store_true", help="mps, lp: leave the bundle rows out")
    parser.add_argument("--map", action="store_true",
                        help="mnetgen: also write TARGET.map, each node's number in the files and its id")
    parser.set_defaults(run=run, parser=parser)


def run(args: argparse.Namespace) -> int:
    from ._inputs import os_failure, read_data_set  # NumPy's readers: for a run, not for --help

    if args.to == "mnetgen":
        if args.no_bundle:
            args.parser.error("--no-bundle applies to --to mps and --to lp only")
        suffixes = MNETGEN_SUFFIXES if args.map else MNETGEN_SUFFIXES[:-1]
        refuse_collisions([args.file], [args.target + suffix for suffix in suffixes])
        from ..mnetgen import export_mnetgen

        with _progress.Steps(args) as steps:
            steps(f"read {args.file}", moving="read")
            _, arrays = read_data_set(args.file)
            steps(f"write {args.target}.*", moving="written")
            try:
                export_mnetgen(arrays, args.target, write_map=args.map)
            except ValueError as error:  # what the format cannot hold, such as a lower bound
                raise Failure(f"{args.file}: {error}") from None
            except OSError as error:
                raise os_failure(args.target, error) from None
        written = [args.target + suffix for suffix in MNETGEN_SUFFIXES if args.map or suffix != ".map"]
        _progress.done(args, f"wrote {_progress.sizes(*written)}")
        return Status.OK
    if args.map:
        args.parser.error("--map applies to --to mnetgen only")
    if Path(args.target).suffix.lower() != f".{args.to}":
        raise Failure(f"TARGET must end in .{args.to} for --to {args.to}, got {args.target!r}")
    refuse_collisions([args.file], [args.target])
    from ..model_files import write_model

    with _progress.Steps(args) as steps:
        steps(f"read {args.file}", moving="read")
        _, arrays = read_data_set(args.file)
        steps(f"write {args.target}", moving="written")
        with contextlib.ExitStack() as highs:
            if not arrays.is_integral:  # decimals or unbounded values: HiGHS's writer, its banner kept off stdout
                from .._highs import highs_process

                highs.enter_context(highs_process())
            with about(args.target):
                write_model(arrays, args.target, bundle=not args.no_bundle)
    _progress.done(args, f"wrote {_progress.sizes(args.target)}: {arrays.num_arcs * arrays.num_commodities:,} "
                         f"columns, {arrays.num_nodes * arrays.num_commodities + arrays.num_arcs * (not args.no_bundle):,} rows")
    return Status.OK
