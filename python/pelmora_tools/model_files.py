"""The LP of a data set written as an MPS or CPLEX LP file, whole or not at all."""

from __future__ import annotations

import contextlib
import os
import secrets
import tempfile
from pathlib import Path

from ._highs import highspy_module
from .arrays import DataSetArrays
from .lp import build_model

# What each format's last line is: a file that does not end with it was cut short.
_LAST_LINE = {".mps": b"ENDATA", ".lp": b"End"}


def write_model(arrays: DataSetArrays, path: str | os.PathLike[str], *, bundle: bool = True) -> None:
    """Writes the LP as MPS or CPLEX LP, chosen by the file name's suffix.

    Parameters
    ----------
    arrays : DataSetArrays
        The data set.
    path : str or os.PathLike
        The file to write; its suffix, ".mps" or ".lp" in any case, chooses the format.
    bundle : bool
        Whether the bundle rows are written.

    Raises
    ------
    ValueError
        For a suffix that names neither format, or a model HiGHS refuses.
    OSError
        When the file cannot be written whole. HiGHS does not report its own write errors, so it
        writes a temporary file beside the target, which is then checked to end as its format
        ends and flushed to disk; only then is it renamed over the target. On failure nothing is
        left but what was there before. A target that exists and is not a regular file (a
        device, a FIFO) is written through Python's checked writes instead.
    """
    name = os.fspath(path)
    suffix = Path(name).suffix.lower()
    if suffix not in _LAST_LINE:
        raise ValueError(f"cannot tell the model format from {name!r}: use a .mps or .lp file name")
    hs = highspy_module()
    highs = build_model(arrays, bundle=bundle)
    if suffix == ".lp":
        # With an integrality list, even an all-continuous one, HiGHS writes empty "bin", "gen" and
        # "semi" sections, which GLPK's reader takes for variable names.
        model = highs.getLp()
        model.integrality_ = []
        highs.passModel(model)
    target = Path(name)
    regular = not target.exists() or target.is_file()
    folder = str(target.parent) if regular else None
    temporary = _new_file(Path(folder or tempfile.gettempdir()) / f".{target.name}", suffix)
    try:
        if highs.writeModel(temporary) == hs.HighsStatus.kError:
            raise OSError(f"HiGHS could not write {name!r}")
        _check_whole(temporary, _LAST_LINE[suffix], name)
        if regular:
            os.replace(temporary, name)
        else:
            _copy_checked(temporary, name)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)


def _new_file(stem: Path, suffix: str) -> str:
    """A new empty file named after ``stem``, with the permissions the umask gives (mkstemp's are 0600)."""
    while True:
        name = f"{stem}.{secrets.token_hex(4)}{suffix}"
        try:
            os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return name
        except FileExistsError:
            continue


def _check_whole(written: str, last_line: bytes, name: str) -> None:
    """Flushes a file HiGHS wrote to disk and checks that it ends with its format's last line."""
    with open(written, "rb+") as file:
        os.fsync(file.fileno())
        size = file.seek(0, os.SEEK_END)
        file.seek(max(size - len(last_line) - 2, 0))
        if not file.read().rstrip().lower().endswith(last_line.lower()):
            raise OSError(f"{name}: the model was not written whole (the disk may be full)")


def _copy_checked(source: str, name: str) -> None:
    try:
        with open(source, "rb") as src, open(name, "wb") as out:
            while chunk := src.read(1 << 20):
                out.write(chunk)
    except OSError as error:
        raise OSError(error.errno, error.strerror, name) from None
