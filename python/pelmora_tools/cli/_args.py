"""The command line's parser and argument types: each type turns one token into a value or says in
one line what it expected."""

from __future__ import annotations

import argparse
import math
import sys

from .. import methods
from ._status import Status

TYPE_CHECKING = False  # typing's, without importing typing before a command needs it
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, NoReturn


def _columns() -> int:
    """The terminal's width as shutil.get_terminal_size finds it ($COLUMNS, then standard output's
    terminal, else 80), without importing shutil, which brings the compression modules along."""
    import os

    try:
        return int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        pass
    try:
        return os.get_terminal_size(sys.__stdout__.fileno()).columns or 80 if sys.__stdout__ else 80
    except (AttributeError, ValueError, OSError):
        return 80


class _Formatter(argparse.HelpFormatter):
    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        super().__init__(prog, indent_increment, max_help_position, width or _columns() - 2)


class Parser(argparse.ArgumentParser):
    """argparse with its errors on one line: the command, the message and where help is."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("formatter_class", _Formatter)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> NoReturn:
        self.exit(Status.FAILURE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


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
    values = tuple(_positive_int(part) for part in text.split(","))
    if len(set(values)) != len(values):
        raise ValueError
    return values


def _method_list(text: str) -> tuple[str, ...]:
    names = tuple(text.split(","))
    if not set(names) <= set(methods.NAMES) or len(set(names)) != len(names):
        raise ValueError
    return names


def typed(function: Callable[[str], Any], what: str) -> Callable[[str], Any]:
    """An argparse type whose error message says what was expected."""

    def convert(text: str) -> Any:
        try:
            return function(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {what}, got {text!r}") from None

    convert.__name__ = what
    return convert


POSITIVE_INT = typed(_positive_int, "an integer of at least 1")
FRACTION = typed(_fraction, "a fraction between 0 and 1 (exclusive)")
POSITIVE = typed(_positive, "a finite number above 0")
SEED = typed(_seed, "an integer from 0 to 2^64 - 1")
INT_LIST = typed(_int_list, "distinct comma-separated integers of at least 1, such as 2,5,10")
METHOD_LIST = typed(_method_list, f"distinct comma-separated methods among {','.join(methods.NAMES)}")


def methods_help() -> str:
    """What each split method does, for a --method or --methods help."""
    return "; ".join(f"{method.name}: {method.doc}" for method in methods.METHODS)


def generation_flags(parser: argparse.ArgumentParser) -> None:
    """The flags shared by ``generate`` and ``sweep``."""
    parser.add_argument("--caps", nargs=2, type=POSITIVE, metavar=("A", "B"),
                        help="randomise each commodity's capacity in [A*up, B*up), 0 < A <= B (off by default)")
    parser.add_argument("--costs", nargs=2, type=POSITIVE, metavar=("A", "B"),
                        help="randomise each commodity's cost in [A*cost, B*cost), 0 < A <= B (off by default)")
    parser.add_argument("--concentration", type=POSITIVE, default=3.0, metavar="C",
                        help="concentration of the beta-binomial split (default 3.0)")
    parser.add_argument("--close", type=FRACTION, metavar="P",
                        help="close max(1, floor(P*arcs)) arcs to each commodity by a fixed stride: at most half "
                             "the arcs whatever P, the same positions for every seed (off by default); with "
                             "--feasible, a seeded fraction P of the (arc, commodity) pairs the certificate leaves "
                             "unused")


def pair(parser: argparse.ArgumentParser, flag: str, values: list[float] | None) -> tuple[float, float] | None:
    """A multiplier pair in order, or the parser's one-line refusal."""
    if not values:
        return None
    low, high = values
    if low > high:
        parser.error(f"{flag}: A must not be above B, got {low!r} {high!r}")
    return low, high


def file_command(commands: Any, name: str, help: str, description: str) -> argparse.ArgumentParser:
    """A subcommand that reads one data set, FILE, its first argument."""
    parser: argparse.ArgumentParser = commands.add_parser(name, help=help, description=description)
    parser.add_argument("file", metavar="FILE")
    return parser


def json_flag(parser: argparse.ArgumentParser) -> None:
    """--json, for the commands that can print their answer as one JSON object."""
    parser.add_argument("--json", action="store_true", help="one JSON object on standard output")
