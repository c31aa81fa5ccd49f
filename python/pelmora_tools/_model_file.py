"""The LP's model files, free MPS and CPLEX LP, written natively from the arrays (the model of
``lp.build_model``, rows, columns and names alike), whole or not at all."""

from __future__ import annotations

import contextlib
import os
from pathlib import Path
from typing import Literal

import numpy as np
import numpy.typing as npt

from . import _native
from .arrays import DataSetArrays

Format = Literal["mps", "lp"]
# Each suffix, in any case, and the format the native writer names it by.
FORMATS: dict[str, Format] = {".mps": "mps", ".lp": "lp"}


def model_format(name: str) -> Format:
    """The format a file name's suffix asks for; ValueError for any other suffix."""
    suffix = Path(name).suffix.lower()
    if suffix not in FORMATS:
        raise ValueError(f"cannot tell the model format from {name!r}: use a .mps or .lp file name")
    return FORMATS[suffix]


def _write(arrays: DataSetArrays, name: str, fmt: Format, bundle: bool) -> None:
    def flat(column: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        return np.ascontiguousarray(column)  # validate() fixed the dtype

    _native.write_model(
        name, fmt, bundle, arrays.num_commodities, flat(arrays.node_ids), flat(arrays.tails), flat(arrays.heads),
        flat(arrays.up), flat(arrays.costs), flat(arrays.capacities), flat(arrays.supplies), flat(arrays.low),
    )


def new_file(stem: Path, suffix: str) -> str:
    """A new empty file named after ``stem``, with the permissions the umask gives (mkstemp's are 0600)."""
    while True:
        name = f"{stem}.{os.urandom(4).hex()}{suffix}"
        try:
            os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return name
        except FileExistsError:
            continue


def write_model_file(arrays: DataSetArrays, path: str | os.PathLike[str], *, bundle: bool = True) -> None:
    """Writes the LP as free MPS or CPLEX LP, chosen by the file name's suffix (".mps", ".lp").

    A regular target is written under a new name beside it, flushed to disk and only then renamed
    over it, so that a failure (a full disk, a signal) leaves what was there before. A target that
    exists and is not a regular file (a pipe, a device) is written in place, as a stream.

    Raises
    ------
    ValueError
        For a suffix that names neither format, or arrays that do not form one data set.
    OSError
        Naming the target, when it cannot be written whole.
    """
    name = os.fspath(path)
    fmt = model_format(name)
    arrays.validate()
    target = Path(name)
    if target.exists() and not target.is_file():
        try:
            _write(arrays, name, fmt, bundle)
        except OSError as error:
            raise _naming(error, name) from None
        return
    temporary = new_file(target.parent / f".{target.name}", target.suffix)
    try:
        _write(arrays, temporary, fmt, bundle)
        with open(temporary, "rb") as written:
            os.fsync(written.fileno())
        os.replace(temporary, name)
    except OSError as error:
        raise _naming(error, name) from None
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)


def _naming(error: OSError, name: str) -> OSError:
    """The error of a write, about the target rather than the temporary file behind it."""
    if error.errno is not None:
        return OSError(error.errno, error.strerror, name)
    return OSError(f"{name}: {error} (the model was not written whole)")
