"""Exit statuses of the ``pelmora`` command and the one table that maps failures to them."""

from __future__ import annotations

import contextlib
import enum

TYPE_CHECKING = False  # typing's, without importing typing before a command needs it
if TYPE_CHECKING:
    from collections.abc import Iterator


class Status(enum.IntEnum):
    """What the command's exit status says."""

    OK = 0
    NO_OPTIMUM = 1  # infeasible or unbounded
    FAILURE = 2  # a usage error, an unreadable file, bad data, a missing package, a solver error
    UNDECIDED = 3  # a time limit ended the work before it decided
    INTERRUPTED = 130  # Ctrl-C, as a shell reports SIGINT


class Failure(Exception):
    """A failure the command reports as one line, ``pelmora COMMAND: error: message``."""

    def __init__(self, message: str, status: Status = Status.FAILURE) -> None:
        super().__init__(message)
        self.status = status


def os_text(error: OSError) -> str:
    """The system's text of an OSError, whichever raised it: Python's own carries ``strerror``; the
    module's carries its text alone, "No such file or directory (os error 2)"."""
    if error.strerror:
        return error.strerror
    text = str(error)
    reason, marker, _ = text.rpartition(" (os error ")
    return reason if marker else text


@contextlib.contextmanager
def about(path: str) -> Iterator[None]:
    """Reports a failure to read or write ``path`` as one line that names it: the path, then the
    reader's or the system's text."""
    try:
        yield
    except Failure:
        raise
    except OSError as error:
        raise Failure(f"{path}: {os_text(error)}") from error
    except (RuntimeError, ValueError, OverflowError) as error:
        raise Failure(f"{path}: {error}") from error


@contextlib.contextmanager
def step(what: str) -> Iterator[None]:
    """Names the work that ran out of memory: MemoryError carries no text of its own."""
    try:
        yield
    except MemoryError as error:
        detail = f" ({error})" if str(error) else ""
        raise Failure(f"not enough memory to {what}{detail}") from error


def known(error: BaseException) -> tuple[Status, str] | None:
    """The status and one-line message of a failure the command expects; None for anything else,
    which is a fault of the command itself."""
    if isinstance(error, Failure):
        return error.status, str(error)
    if isinstance(error, KeyboardInterrupt):
        return Status.INTERRUPTED, "interrupted"
    if isinstance(error, MemoryError):
        return Status.FAILURE, f"not enough memory{f' ({error})' if str(error) else ''}"
    if isinstance(error, OSError):
        where = f"{error.filename}: " if error.filename else ""
        return Status.FAILURE, f"{where}{os_text(error)}"
    if isinstance(error, ModuleNotFoundError):
        return Status.FAILURE, str(error)
    # The module's PanicException derives from BaseException and lives in its own module.
    if type(error).__name__ == "PanicException":
        return Status.FAILURE, f"the generator refused the arguments: {error}"
    return None
