"""The ``pelmora`` command: generate, inspect, export, solve and sweep multicommodity data sets, and
write the classic generators' networks (NETGEN, GRIDGEN, GOTO, MNETGEN).

Exit status: 0 success, 1 the model is infeasible or unbounded, 2 a usage error or a failure
(unreadable file, bad data, missing package, solver error), 3 a time limit ended the work before
it decided, 130 interrupted. Errors are one line on standard error; ``--debug`` (or
``PELMORA_DEBUG=1``) shows the traceback of a failure instead.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import traceback
from collections.abc import Sequence
from importlib import metadata

from ._args import Parser
from ._status import Failure, Status, known

__all__ = ["COMMANDS", "Failure", "Status", "build_parser", "main"]

# Each command module registers its subparser and the function that runs it; they are imported when
# the parser is built, and the generators' commands alone need none of the others (nor their imports).
COMMANDS = ("generate", "info", "export", "solve", "sweep", "netgen", "families")
_GENERATORS = {"gridgen": "families", "goto": "families", "mnetgen": "families"}


def _version() -> str:
    try:
        return metadata.version("pelmora")
    except metadata.PackageNotFoundError:
        return "unknown"


class _Version(argparse.Action):
    """--version, the package's metadata read only when asked (it costs a command's start)."""

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> None:
        print(f"pelmora {_version()}")
        parser.exit()


def build_parser(modules: Sequence[str] = COMMANDS) -> Parser:
    summary = (__doc__ or "").split("\n\n")[0].replace("``", "")
    parser = Parser(prog="pelmora", description=summary,
                    epilog="exit status: 0 success, 1 infeasible or unbounded, 2 usage error or failure, "
                           "3 time limit reached, 130 interrupted")
    parser.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
    parser.add_argument("--debug", action="store_true", help="show the traceback of a failure (or PELMORA_DEBUG=1)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=Parser)
    for name in modules:
        importlib.import_module(f".{name}", __name__).register(commands)
    return parser


def _quiet_stdout() -> None:
    """After the reader of standard output has gone (``pelmora info | head``), later writes and the
    interpreter's final flush go nowhere instead of failing."""
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, sys.stdout.fileno())
    os.close(null)


def main(argv: Sequence[str] | None = None) -> int:
    given = list(sys.argv[1:] if argv is None else argv)
    first = next((a for a in given if not a.startswith("-")), None)
    parser = build_parser((_GENERATORS[first],) if first in _GENERATORS else COMMANDS)
    args, extra = parser.parse_known_args(given)
    if extra:  # reported by the command's own parser, which is where they were given
        args.parser.error(f"unrecognized arguments: {' '.join(extra)}")
    debug = args.debug = args.debug or os.environ.get("PELMORA_DEBUG", "") not in ("", "0")
    try:
        status = int(args.run(args))
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        _quiet_stdout()
        return Status.OK
    except BaseException as error:
        if isinstance(error, SystemExit):
            raise
        if debug:
            traceback.print_exc()
        mapped = known(error)
        if mapped is None:
            print(f"pelmora {args.command}: error: {type(error).__name__}: {error} "
                  "(a fault of pelmora itself: --debug shows where)", file=sys.stderr)
            return Status.FAILURE
        status, message = mapped
        print(f"pelmora {args.command}: {'error: ' * (status != Status.INTERRUPTED)}{message}", file=sys.stderr)
        return status
