"""The four files of the mnetgen family (".nod", ".arc", ".sup", ".mut"), tab-separated, as
multicommodity solvers of that family read them: export and read back; docs/format.md
describes the files as they are read."""

from __future__ import annotations

import os

import numpy as np
import numpy.typing as npt

from . import _native
from .arrays import DataSetArrays, ValueArray, as_int64, require_integral


def _check_bounds(arrays: DataSetArrays) -> None:
    bounded = np.flatnonzero(arrays.low != 0)
    if bounded.size:
        a = int(bounded[0])
        raise ValueError(
            f"arc {a + 1} ({int(arrays.tails[a])} -> {int(arrays.heads[a])}) has lower bound "
            f"{int(arrays.low[a])}; the mnetgen format has no lower bounds"
        )


def export_mnetgen(
    arrays: DataSetArrays, prefix: str | os.PathLike[str], *, write_map: bool = False
) -> npt.NDArray[np.int64]:
    """Writes the four mnetgen files of a data set.

    Nodes are numbered 1..n in ascending id order, commodities 1..K, arcs 1..m in data-set order.
    A commodity's closed arcs (capacity 0) get no arc line; every arc open to some commodity has
    its ``up`` as mutual capacity.

    Parameters
    ----------
    arrays : DataSetArrays
        The data set.
    prefix : str or os.PathLike
        ``prefix`` + ".nod", ".arc", ".sup" and ".mut" are written.
    write_map : bool, default False
        Also write ``prefix`` + ".map", one "number<TAB>node id" line per node.

    Returns
    -------
    numpy.ndarray
        The node numbering: node i + 1 of the files is ``mapping[i]`` of the data set.

    Raises
    ------
    ValueError
        For an arc with a non-zero lower bound, or arrays that do not form one data set
        (``DataSetArrays.validate``), before any file is written.
    OSError
        When a file cannot be written.
    """
    arrays.validate()
    require_integral(arrays, "the mnetgen export")
    _check_bounds(arrays)

    def flat(column: ValueArray) -> npt.NDArray[np.int64]:
        return np.ascontiguousarray(as_int64(column))  # the writer takes C-contiguous int64 buffers

    _native.write_mnetgen(
        os.fspath(prefix), arrays.num_commodities, flat(arrays.node_ids), flat(arrays.tails), flat(arrays.heads),
        flat(arrays.up), flat(arrays.costs), flat(arrays.capacities), flat(arrays.supplies), write_map,
    )
    return arrays.node_ids.copy()


def mnetgen_prefix(path: str | os.PathLike[str]) -> str:
    """The prefix of the four files named by ``path``: itself, or without a ".nod" suffix."""
    name = os.fspath(path)
    return name[: -len(".nod")] if name.endswith(".nod") else name


def load_mnetgen(prefix: str | os.PathLike[str]) -> DataSetArrays:
    """Reads the four mnetgen files ``prefix`` + ".nod", ".mut", ".arc" and ".sup" as a data set.

    Arc records with one name are one arc, each record giving one commodity's cost and capacity
    (commodity -1: every commodity's); a commodity without a record is closed on that arc
    (capacity 0). Capacity -1 is no individual bound, mutual pointer 0 or a ".mut" capacity of -1
    no mutual bound: +inf in a float64 column. ".nod" holds K, n, m and optionally the number of
    mutual capacities; its counts bound the numbers of the other files and size nothing. The
    nodes are those the files name (arc ends, supply lines), by their numbers; every ``low`` is 0.

    Parameters
    ----------
    prefix : str or os.PathLike
        The common part of the four file names (a trailing ".nod" is taken off).

    Returns
    -------
    DataSetArrays
        ``up``, ``costs``, ``capacities`` and ``supplies`` are int64 when every value of theirs in
        the files is an integer ("7.000000" and "1.2e+03" are) and bounded, else float64 (the
        double nearest each written decimal, +inf for no bound).

    Raises
    ------
    ValueError
        In one line naming the file and line: a field that is not a number, a node, commodity,
        arc name or pointer beyond the counts of ".nod", a pointer without a ".mut" line, a count
        the files contradict, records of one arc name that disagree, a second record for one arc
        and commodity or one node and commodity, or K columns beyond the memory available.
    OSError
        For a file that cannot be opened or read, naming it.
    """
    k, *columns, real_up, real_costs, real_capacities, real_supplies = _native.read_mnetgen(mnetgen_prefix(prefix))
    node_ids, tails, heads = (np.frombuffer(c, dtype=np.int64) for c in columns[:3])

    def values(column: _native.Column, real: bool) -> ValueArray:
        if real:
            return np.frombuffer(column, dtype=np.float64)
        return np.frombuffer(column, dtype=np.int64)

    m, n = tails.shape[0], node_ids.shape[0]
    return DataSetArrays(
        node_ids, tails, heads, np.zeros(m, dtype=np.int64), values(columns[3], real_up),
        values(columns[4], real_costs).reshape(m, k), values(columns[5], real_capacities).reshape(m, k),
        values(columns[6], real_supplies).reshape(n, k),
    )
