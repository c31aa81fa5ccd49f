"""A data set as NumPy arrays: the one shape every exporter, model builder and check works from."""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import pelmora

from . import _mcf_file, _native

Int64Array = npt.NDArray[np.int64]
# Costs, bounds and amounts: int64, or float64 where a file gave decimals or "no bound" (+inf).
ValueArray = npt.NDArray[np.int64] | npt.NDArray[np.float64]


@dataclass(frozen=True)
class DataSetArrays:
    """A multicommodity data set. Arcs keep the order of the instance or file; node rows follow
    ``node_ids`` (ascending). Supplies are positive, demands negative: a node's outflow minus its
    inflow equals its supply.

    Every field is int64, except that ``up``, ``costs``, ``capacities`` and ``supplies`` may be
    float64 when they come from files that hold decimals (``load_mnetgen``); a float64 ``up`` or
    ``capacities`` holds +inf for "no bound". ``is_integral`` tells which kind a data set is."""

    node_ids: Int64Array  # (n,)
    tails: Int64Array  # (m,) node ids
    heads: Int64Array  # (m,) node ids
    low: Int64Array  # (m,)
    up: ValueArray  # (m,) mutual capacity of all commodities together
    costs: ValueArray  # (m, K)
    capacities: ValueArray  # (m, K), 0 = closed to that commodity
    supplies: ValueArray  # (n, K)

    @property
    def num_commodities(self) -> int:
        return int(self.costs.shape[1])

    @property
    def num_nodes(self) -> int:
        return int(self.node_ids.shape[0])

    @property
    def num_arcs(self) -> int:
        return int(self.tails.shape[0])

    @property
    def is_integral(self) -> bool:
        """Whether every field is int64 (the data set holds no decimal and no unbounded value)."""
        return all(getattr(self, name).dtype == np.int64 for name in _FIELDS)

    def node_index(self, ids: Int64Array) -> npt.NDArray[np.intp]:
        """Row of each node id in ``node_ids``."""
        return np.searchsorted(self.node_ids, ids)

    def validate(self) -> None:
        """Checks that the arrays form one data set, as every consumer assumes.

        Raises
        ------
        ValueError
            Naming the first field that is not an int64 ndarray of its shape: ``node_ids``,
            ``tails``, ``heads``, ``low`` and ``up`` one-dimensional, ``costs`` and ``capacities``
            (m, K), ``supplies`` (n, K); or ``node_ids`` not strictly ascending; or an arc end
            that is not among ``node_ids``.
        """
        for name, ndim in _FIELDS.items():
            value = getattr(self, name)
            kinds = (np.int64, np.float64) if name in _VALUES else (np.int64,)
            if not isinstance(value, np.ndarray) or value.dtype not in kinds:
                kind = value.dtype if isinstance(value, np.ndarray) else type(value).__name__
                wanted = "an int64 or float64" if name in _VALUES else "an int64"
                raise ValueError(f"{name} must be {wanted} NumPy array, got {kind}")
            if value.ndim != ndim:
                raise ValueError(f"{name} must have {ndim} dimension(s), got shape {value.shape}")
        n, m, k = self.node_ids.shape[0], self.tails.shape[0], self.costs.shape[1]
        for name, shape in (("heads", (m,)), ("low", (m,)), ("up", (m,)), ("costs", (m, k)), ("capacities", (m, k)),
                            ("supplies", (n, k))):
            if getattr(self, name).shape != shape:
                raise ValueError(f"{name} has shape {getattr(self, name).shape}, expected {shape} "
                                 f"for {n} nodes, {m} arcs and {k} commodities")
        for name in _VALUES:
            value = getattr(self, name)
            if value.dtype == np.float64 and not (np.isfinite(value) | (name in _BOUNDS) & (value == np.inf)).all():
                allowed = "finite or +inf" if name in _BOUNDS else "finite"
                raise ValueError(f"{name} must hold {allowed} values")
        if n > 1 and not (self.node_ids[1:] > self.node_ids[:-1]).all():
            raise ValueError("node_ids must ascend strictly")
        for name in ("tails", "heads"):
            ends = getattr(self, name)
            absent = np.flatnonzero(~_among(ends, self.node_ids))
            if absent.size:
                a = int(absent[0])
                raise ValueError(f"{name}[{a}] = {int(ends[a])} is not among node_ids")


# Each field and its number of dimensions.
_FIELDS = {"node_ids": 1, "tails": 1, "heads": 1, "low": 1, "up": 1, "costs": 2, "capacities": 2, "supplies": 2}
# The fields that may be float64, and those of them where +inf stands for no bound.
_VALUES = ("up", "costs", "capacities", "supplies")
_BOUNDS = ("up", "capacities")


def as_int64(values: ValueArray) -> Int64Array:
    """``values``, typed as the int64 array it must be where the data set is known to be integral
    (made from a network or a multicommodity file, or checked by ``require_integral``).

    Raises
    ------
    TypeError
        For a float64 array.
    """
    if values.dtype != np.int64:
        raise TypeError(f"expected an int64 array, got {values.dtype}")
    return values.astype(np.int64, copy=False)


def require_integral(arrays: DataSetArrays, what: str) -> None:
    """Refuses, in one line naming ``what`` and the first field, a data set with float64 fields.

    Raises
    ------
    ValueError
        When a field holds decimals or +inf ("no bound").
    """
    for name in _VALUES:
        value = getattr(arrays, name)
        if value.dtype != np.int64:
            unbounded = bool(np.isinf(value).any())
            holds = "values without a bound (+inf)" if unbounded else "decimal values"
            raise ValueError(f"{what} takes integer data sets; {name} holds {holds}")


def _among(values: Int64Array, ascending: Int64Array) -> npt.NDArray[np.bool_]:
    """Whether each value is one of the strictly ascending ids: by their bounds alone when the ids
    fill their range (as the node ids of a DIMACS file usually do), through a table over the range
    when they fill a good part of it, else by search."""
    if ascending.size == 0 or values.size == 0:
        return np.zeros(values.shape, dtype=bool)
    lowest, highest = int(ascending[0]), int(ascending[-1])
    if int(values.min()) < lowest or int(values.max()) > highest:
        return (values >= lowest) & (values <= highest) & _among(np.clip(values, lowest, highest), ascending)
    span = highest - lowest
    if span == ascending.size - 1:
        return np.ones(values.shape, dtype=bool)
    if span < 4 * ascending.size + 4096:
        table = np.zeros(span + 1, dtype=bool)
        table[ascending - lowest] = True
        return table[values - lowest]
    found: npt.NDArray[np.bool_] = ascending[np.searchsorted(ascending, values)] == values
    return found


def _wrap(columns: _native._Columns) -> DataSetArrays:
    """The native columns as arrays over the same memory (no copy)."""
    k, *buffers = columns
    node_ids, tails, heads, low, up, costs, capacities, supplies = (np.frombuffer(b, dtype=np.int64) for b in buffers)
    m, n = tails.shape[0], node_ids.shape[0]
    return DataSetArrays(
        node_ids, tails, heads, low, up, costs.reshape(m, k), capacities.reshape(m, k), supplies.reshape(n, k)
    )


def arrays_from_data(instance: pelmora.NetworkInstance, data: pelmora.MultiCommodityData) -> DataSetArrays:
    """The arrays of a data set generated from ``instance``, filled natively from the records.

    Parameters
    ----------
    instance : pelmora.NetworkInstance
        The network the data set was generated from.
    data : pelmora.MultiCommodityData
        What ``pelmora.generate_multi_commodity_data`` returned for it.

    Returns
    -------
    DataSetArrays
        int64 arrays; the caller may change them.

    Raises
    ------
    TypeError
        For objects that are not the pelmora module's records.
    ValueError
        For a data set generated from another network (its arcs do not fit).
    """
    return _wrap(_native.arrays(instance, data))


def arrays_from_min(instance: pelmora.NetworkInstance) -> DataSetArrays:
    """A single-commodity instance as a data set with K = 1.

    Parameters
    ----------
    instance : pelmora.NetworkInstance
        The network; its costs and capacities become the one commodity's.

    Returns
    -------
    DataSetArrays
        int64 arrays with ``costs``, ``capacities`` and ``supplies`` of one column.
    """
    return _wrap(_native.arrays(instance))


def arrays_from_file(path: str | os.PathLike[str]) -> DataSetArrays:
    """The arrays of a multicommodity file, read once with the module's reader.

    Parameters
    ----------
    path : str or os.PathLike
        A multicommodity file; each arc's ``low`` is kept too (it must be an integer).

    Returns
    -------
    DataSetArrays
        int64 arrays; memory grows with the lines read, and K values per node are refused beyond the
        memory available.

    Raises
    ------
    RuntimeError, OSError
        What ``pelmora.load_multi_commodity_instance`` raises for the same file.
    """
    return _wrap(_native.read_arrays(os.fspath(path)))


def load_arrays(path: str | os.PathLike[str]) -> DataSetArrays:
    """The arrays of a multicommodity file or of a single-commodity ".min" file.

    Parameters
    ----------
    path : str or os.PathLike
        The file; its problem line tells the kind, as the module's readers take it (a ".min"
        problem line with extra tokens stays a ".min" line).

    Returns
    -------
    DataSetArrays
        The data set; K = 1 for a ".min" file.

    Raises
    ------
    RuntimeError, OSError, ValueError
        What the module's reader of that kind raises; ValueError for a line past the readers' limit.
    """
    if _mcf_file.is_multicommodity(path):
        return arrays_from_file(path)
    return arrays_from_min(pelmora.load_min_instance(os.fspath(path)))
