"""Integer tables written as text at NumPy speed: each row is laid out in a fixed-width byte matrix
whose unused cells hold NUL bytes, and dropping the NULs leaves the lines."""

from __future__ import annotations

from typing import BinaryIO

import numpy as np
import numpy.typing as npt

Bytes2D = npt.NDArray[np.uint8]
_ZERO = ord("0")
_MINUS = ord("-")


def digit_width(values: npt.NDArray[np.int64]) -> int:
    """Cells one column of these values needs: the digits of the largest magnitude, plus a sign."""
    if values.size == 0:
        return 1
    biggest = max(int(values.max()), -int(values.min()), 1)
    return len(str(biggest)) + (1 if int(values.min()) < 0 else 0)


def cells(values: npt.NDArray[np.int64], width: int) -> Bytes2D:
    """Right-aligned decimals of ``values`` in ``width`` cells each, NUL in front of the number."""
    out = np.zeros((values.shape[0], width), dtype=np.uint8)
    negative = values < 0
    rest = np.abs(values) if negative.any() else values.copy()
    digit = np.empty(values.shape[0], dtype=np.int64)
    for j in range(width - 1, -1, -1):
        np.remainder(rest, 10, out=digit)
        column = out[:, j]
        column[...] = digit
        column += _ZERO
        np.floor_divide(rest, 10, out=rest)
        if j < width - 1:
            # Past the leading digit only zeros are left; they stay NUL except the number 0 itself.
            column[(rest == 0) & (digit == 0)] = 0
        if not rest.any():
            if negative.any():
                _place_signs(out, negative, j)
            break
    return out


def _place_signs(out: Bytes2D, negative: npt.NDArray[np.bool_], first: int) -> None:
    rows = np.flatnonzero(negative)
    lead = (out[rows, first:] != 0).argmax(axis=1) + first
    out[rows, lead - 1] = _MINUS


def constant(text: bytes, rows: int) -> Bytes2D:
    """The same bytes on every row."""
    return np.broadcast_to(np.frombuffer(text, dtype=np.uint8), (rows, len(text)))


def write_rows(stream: BinaryIO, pieces: list[Bytes2D]) -> None:
    """Writes the rows made of ``pieces`` side by side, NUL cells left out."""
    table = np.concatenate(pieces, axis=1)
    flat = table.reshape(-1)
    stream.write(flat[flat != 0].tobytes())
