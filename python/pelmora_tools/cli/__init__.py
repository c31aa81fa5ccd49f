"""The ``pelmora`` command: generate, inspect, export, solve and sweep multicommodity data sets, and
write the classic generators' networks (NETGEN, GRIDGEN, GOTO, MNETGEN).

Exit status: 0 success, 1 the model is infeasible or unbounded, 2 a usage error or a failure
(unreadable file, bad data, missing package, solver error), 3 a time limit ended the work before
it decided, 130 interrupted. Errors are one line on standard error; ``--debug`` (or
``PELMORA_DEBUG=1``) shows the traceback of a failure instead.
"""

from __future__ import annotations

import importlib
import os
import sys

from ._status import Failure, Status, known

TYPE_CHECKING = False  # typing's, without importing typing before a command needs it
if TYPE_CHECKING:
    import argparse
    from collections.abc import Sequence

    from ._args import Parser

__all__ = ["COMMANDS", "Failure", "Status", "build_parser", "main"]

# The commands in the order --help lists them. Each is a module of this package that registers its
# subparser and the function that runs it; a command's module, and what it imports (NumPy, dask,
# the solvers), is loaded only when that command is asked for.
COMMANDS = ("generate", "info", "export", "solve", "sweep", "netgen", "gridgen", "goto", "mnetgen")


def _version() -> str:
    """The installed distribution's version, read from the METADATA beside the package: importing
    importlib.metadata alone takes longer than starting the interpreter."""
    site = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    try:
        found = [name for name in os.listdir(site) if name.startswith("pelmora-") and name.endswith(".dist-info")]
        if len(found) == 1:
            with open(os.path.join(site, found[0], "METADATA"), encoding="utf-8") as lines:
                for line in lines:
                    if line.startswith("Version:"):
                        return line.split(":", 1)[1].strip()
    except OSError:
        pass
    from importlib import metadata  # an editable or unusual install: ask the slow way

    try:
        return metadata.version("pelmora")
    except metadata.PackageNotFoundError:
        return "unknown"


def _named_command(argv: Sequence[str]) -> str | None:
    """The command the arguments name: the first that is not an option (the options before it take
    no value), when it is one."""
    for arg in argv:
        if not arg.startswith("-"):
            return arg if arg in COMMANDS else None
    return None


def build_parser(argv: Sequence[str] | None = None) -> Parser:
    """The command's parser. Given the arguments, it holds only the subparser of the command they
    name (none for ``--version``), so that no other command's module is imported; without a
    command, or given no arguments, it holds every subparser (``--help`` lists them all)."""
    from ._args import Parser

    summary = (__doc__ or "").split("\n\n")[0].replace("``", "")
    parser = Parser(prog="pelmora", description=summary,
                    epilog="exit status: 0 success, 1 infeasible or unbounded, 2 usage error or failure, "
                           "3 time limit reached, 130 interrupted")
    parser.add_argument("--version", action="version", version=f"pelmora {_version()}")
    parser.add_argument("--debug", action="store_true", help="show the traceback of a failure (or PELMORA_DEBUG=1)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=Parser)
    wanted = None if argv is None else _named_command(argv)
    if argv is not None and wanted is None and "--version" in argv:
        return parser
    for name in COMMANDS:
        if wanted in (None, name):
            importlib.import_module(f".{name}", __name__).register(commands)
    for command in commands.choices.values():
        command.add_argument("--quiet", "-q", action="store_true",
                             help="no progress and no closing line on standard error (errors still go there)")
    return parser


def _quiet_stdout() -> None:
    """After the reader of standard output has gone (``pelmora info | head``), later writes and the
    interpreter's final flush go nowhere instead of failing."""
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, sys.stdout.fileno())
    os.close(null)


def _parse(argv: Sequence[str] | None) -> argparse.Namespace:
    given = sys.argv[1:] if argv is None else list(argv)
    args, extra = build_parser(given).parse_known_args(given)
    if extra:  # reported by the command's own parser, which is where they were given
        args.parser.error(f"unrecognized arguments: {' '.join(extra)}")
    return args


def _run(args: argparse.Namespace) -> int:
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
            import traceback

            traceback.print_exc()
        mapped = known(error)
        if mapped is None:
            print(f"pelmora {args.command}: error: {type(error).__name__}: {error} "
                  "(a fault of pelmora itself: --debug shows where)", file=sys.stderr)
            return Status.FAILURE
        status, message = mapped
        print(f"pelmora {args.command}: {'error: ' * (status != Status.INTERRUPTED)}{message}", file=sys.stderr)
        return status


def main(argv: Sequence[str] | None = None) -> int:
    # Everything the command imports, it imports in here: Ctrl-C while the parser is built or a
    # command's module loads ends as it does later, in one line and status 130.
    try:
        return _run(_parse(argv))
    except KeyboardInterrupt:
        print("pelmora: interrupted", file=sys.stderr)
        return Status.INTERRUPTED
