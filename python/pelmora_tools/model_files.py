"""The LP of a data set written as a free MPS or CPLEX LP file, whole or not at all.

The native writer (the default) streams the file straight from the arrays through a fixed few
buffers: the rows, columns and names of ``lp.build_model``'s model, which is never built. HiGHS's
own writer stays available (``writer="highs"``) for comparison; it needs highspy and builds the
model first.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from . import _native
from .arrays import DataSetArrays, ValueArray, as_int64

Format = Literal["mps", "lp"]
# Each suffix, in any case, and its format.
_FORMATS: dict[str, Format] = {".mps": "mps", ".lp": "lp"}
# What each format's last line is: a file HiGHS wrote that does not end with it was cut short.
_LAST_LINE = {"mps": b"ENDATA", "lp": b"End"}


def write_model(
    arrays: DataSetArrays, path: str | os.PathLike[str], *, bundle: bool = True,
    writer: Literal["native", "highs"] = "native",
) -> None:
    """Writes the LP as free MPS or CPLEX LP, chosen by the file name's suffix.

    Parameters
    ----------
    arrays : DataSetArrays
        The data set.
    path : str or os.PathLike
        The file to write; its suffix, ".mps" or ".lp" in any case, chooses the format.
    bundle : bool
        Whether the bundle rows are written.
    writer : {"native", "highs"}, default "native"
        The native writer, or HiGHS's (which builds the model first, and needs highspy). The native
        writer writes integers: a data set with decimals or unbounded values (``is_integral``
        false, as ``load_mnetgen`` may give) is written by HiGHS's.

    Raises
    ------
    ValueError
        For a suffix that names neither format, arrays that do not form one data set, or a model
        HiGHS refuses.
    OSError
        Naming the target, when the file cannot be written whole. A regular target is written
        under a new name beside it, flushed to disk and only then renamed over it: on failure (a
        full disk, Ctrl-C) nothing is left but what was there before. A target that exists and
        is not a regular file (a pipe, a device) is written as a stream.
    """
    name = os.fspath(path)
    fmt = _FORMATS.get(Path(name).suffix.lower())
    if fmt is None:
        raise ValueError(f"cannot tell the model format from {name!r}: use a .mps or .lp file name")
    if writer == "native" and not arrays.is_integral:
        writer = "highs"
    if writer == "native":
        arrays.validate()
        write: Callable[[str], None] = lambda file: _write_native(arrays, file, fmt, bundle)  # noqa: E731
    elif writer == "highs":
        highs = _highs_model(arrays, bundle, fmt)
        write = lambda file: _write_highs(highs, file, fmt, name)  # noqa: E731
    else:
        raise ValueError(f"writer must be 'native' or 'highs', not {writer!r}")
    target = Path(name)
    regular = not target.exists() or target.is_file()
    if not regular and writer == "native":
        try:
            write(name)
        except OSError as error:
            raise _naming(error, name) from None
        return
    folder = target.parent if regular else Path(tempfile.gettempdir())
    temporary = new_file(folder / f".{target.name}", target.suffix)
    try:
        write(temporary)
        with open(temporary, "rb") as written:
            os.fsync(written.fileno())
        if regular:
            os.replace(temporary, name)
        else:
            _copy_checked(temporary, name)
    except OSError as error:
        raise _naming(error, name) from None
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)


def _write_native(arrays: DataSetArrays, name: str, fmt: Format, bundle: bool) -> None:
    def flat(column: ValueArray) -> npt.NDArray[np.int64]:
        return np.ascontiguousarray(as_int64(column))  # validate() and is_integral fixed the dtype

    _native.write_model(
        name, fmt, bundle, arrays.num_commodities, flat(arrays.node_ids), flat(arrays.tails), flat(arrays.heads),
        flat(arrays.up), flat(arrays.costs), flat(arrays.capacities), flat(arrays.supplies), flat(arrays.low),
    )


def _highs_model(arrays: DataSetArrays, bundle: bool, fmt: Format) -> Any:
    from .lp import build_model

    highs = build_model(arrays, bundle=bundle)
    if fmt == "lp":
        # With an integrality list, even an all-continuous one, HiGHS writes empty "bin", "gen" and
        # "semi" sections, which GLPK's reader takes for variable names.
        model = highs.getLp()
        model.integrality_ = []
        highs.passModel(model)
    return highs


def _write_highs(highs: Any, file: str, fmt: Format, name: str) -> None:
    """HiGHS does not report its own write errors: the file is checked to end as its format ends."""
    from ._highs import highspy_module

    if highs.writeModel(file) == highspy_module().HighsStatus.kError:
        raise OSError(f"HiGHS could not write {name!r}")
    last_line = _LAST_LINE[fmt]
    with open(file, "rb") as written:
        size = written.seek(0, os.SEEK_END)
        written.seek(max(size - len(last_line) - 2, 0))
        if not written.read().rstrip().lower().endswith(last_line.lower()):
            raise OSError(f"{name}: the model was not written whole (the disk may be full)")


def new_file(stem: Path, suffix: str) -> str:
    """A new empty file named after ``stem``, with the permissions the umask gives (mkstemp's are 0600)."""
    while True:
        name = f"{stem}.{secrets.token_hex(4)}{suffix}"
        try:
            os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return name
        except FileExistsError:
            continue


def _copy_checked(source: str, name: str) -> None:
    with open(source, "rb") as src, open(name, "wb") as out:
        while chunk := src.read(1 << 20):
            out.write(chunk)


def _naming(error: OSError, name: str) -> OSError:
    """The error of a write, about the target rather than a temporary file behind it."""
    if error.errno is not None:
        return OSError(error.errno, error.strerror, name)
    message = str(error)
    return OSError(message if name in message else f"{name}: {message} (the model was not written whole)")
