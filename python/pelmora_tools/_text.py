"""Integer tables written as text at NumPy speed. Each line is laid out in a row of a fixed-width
byte table whose unused cells hold NUL; dropping the NULs leaves the lines. Numbers are written two
digits per pass through a table of digit pairs that also yields the NULs in front of a number."""

from __future__ import annotations

from typing import BinaryIO

import numpy as np
import numpy.typing as npt

Table = npt.NDArray[np.uint8]
_ZERO = ord("0")
_MINUS = ord("-")


def _pairs() -> Table:
    """Rows 0-99: two digits; 100-199: the leading pair of a number (no leading zero, so 0-9
    take one cell); 200: two NULs, in front of a number."""
    lut = np.zeros((201, 2), dtype=np.uint8)
    p = np.arange(100)
    lut[:100, 0], lut[:100, 1] = _ZERO + p // 10, _ZERO + p % 10
    lut[100:200, 0] = np.where(p >= 10, _ZERO + p // 10, 0)
    lut[100:200, 1] = _ZERO + p % 10
    return lut


_PAIRS = _pairs()


def digit_width(values: npt.NDArray[np.int64]) -> int:
    """Cells one column of these values needs: the digits of the largest magnitude, plus a sign."""
    if values.size == 0:
        return 1
    low, high = int(values.min()), int(values.max())
    return len(str(max(high, -low, 1))) + (1 if low < 0 else 0)


def new_table(rows: int, width: int) -> Table:
    return np.zeros((rows, width), dtype=np.uint8)


def put_int(table: Table, start: int, width: int, values: npt.NDArray[np.int64]) -> None:
    """Writes ``values`` right-aligned into the cells ``start:start + width`` (NUL in front)."""
    negative = values < 0
    rest = np.abs(values)
    index = np.empty(values.shape[0], dtype=np.intp)
    pos, units = start + width, True
    while pos > start:
        np.remainder(rest, 100, out=index)
        index += np.where(rest < 100, 100, 0)
        if not units:
            index += np.where(rest == 0, 100, 0)
        pair = np.take(_PAIRS, index, axis=0)
        if pos - 2 >= start:
            table[:, pos - 2 : pos] = pair
        else:
            table[:, pos - 1] = pair[:, 1]
        np.floor_divide(rest, 100, out=rest)
        pos, units = pos - 2, False
        if not rest.any():
            break
    if negative.any():
        rows = np.flatnonzero(negative)
        lead = (table[rows, start : start + width] != 0).argmax(axis=1) + start
        table[rows, lead - 1] = _MINUS


def put_bytes(table: Table, start: int, text: bytes) -> None:
    """The same bytes at ``start`` on every row."""
    table[:, start : start + len(text)] = np.frombuffer(text, dtype=np.uint8)


def write_table(stream: BinaryIO, table: Table) -> None:
    flat = table.reshape(-1)
    stream.write(np.compress(flat != 0, flat).data)


def write_columns(stream: BinaryIO, columns: list[npt.NDArray[np.int64]], block: int) -> None:
    """One line per row: the columns' values, tab-separated."""
    widths = [digit_width(column) for column in columns]
    rows = columns[0].shape[0]
    for first in range(0, rows, block):
        part = slice(first, min(first + block, rows))
        table = new_table(part.stop - part.start, sum(widths) + len(widths))
        start = 0
        for column, width in zip(columns, widths):
            put_int(table, start, width, column[part])
            put_bytes(table, start + width, b"\t")
            start += width + 1
        put_bytes(table, start - 1, b"\n")
        write_table(stream, table)
