"""Export to the four files of the mnetgen family (".nod", ".arc", ".sup", ".mut"), tab-separated,
as multicommodity solvers of that family read them; docs/format.md describes the files."""

from __future__ import annotations

import os

import numpy as np
import numpy.typing as npt

from . import _native
from .arrays import DataSetArrays


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
    _check_bounds(arrays)

    def flat(column: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        return np.ascontiguousarray(column)  # the writer takes C-contiguous buffers; validate() fixed the dtype

    _native.write_mnetgen(
        os.fspath(prefix), arrays.num_commodities, flat(arrays.node_ids), flat(arrays.tails), flat(arrays.heads),
        flat(arrays.up), flat(arrays.costs), flat(arrays.capacities), flat(arrays.supplies), write_map,
    )
    return arrays.node_ids.copy()
