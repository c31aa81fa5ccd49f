"""A data set as NumPy arrays: the one shape every exporter, model builder and check works from."""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import pelmora

from . import _mcf_file, _native

Int64Array = npt.NDArray[np.int64]


@dataclass(frozen=True)
class DataSetArrays:
    """A multicommodity data set. Arcs keep the order of the instance or file; node rows follow
    ``node_ids`` (ascending). Supplies are positive, demands negative: a node's outflow minus its
    inflow equals its supply."""

    node_ids: Int64Array  # (n,)
    tails: Int64Array  # (m,) node ids
    heads: Int64Array  # (m,) node ids
    low: Int64Array  # (m,)
    up: Int64Array  # (m,) mutual capacity of all commodities together
    costs: Int64Array  # (m, K)
    capacities: Int64Array  # (m, K), 0 = closed to that commodity
    supplies: Int64Array  # (n, K)

    @property
    def num_commodities(self) -> int:
        return int(self.costs.shape[1])

    @property
    def num_nodes(self) -> int:
        return int(self.node_ids.shape[0])

    @property
    def num_arcs(self) -> int:
        return int(self.tails.shape[0])

    def node_index(self, ids: Int64Array) -> npt.NDArray[np.intp]:
        """Row of each node id in ``node_ids``."""
        return np.searchsorted(self.node_ids, ids)


def _wrap(columns: _native._Columns) -> DataSetArrays:
    """The native columns as arrays over the same memory (no copy)."""
    k, *buffers = columns
    node_ids, tails, heads, low, up, costs, capacities, supplies = (np.frombuffer(b, dtype=np.int64) for b in buffers)
    m, n = tails.shape[0], node_ids.shape[0]
    return DataSetArrays(
        node_ids, tails, heads, low, up, costs.reshape(m, k), capacities.reshape(m, k), supplies.reshape(n, k)
    )


def arrays_from_data(instance: pelmora.NetworkInstance, data: pelmora.MultiCommodityData) -> DataSetArrays:
    """The arrays of a data set generated from ``instance``."""
    return _wrap(_native.arrays(instance, data))


def arrays_from_min(instance: pelmora.NetworkInstance) -> DataSetArrays:
    """A single-commodity instance as a data set with K = 1 (its own costs and capacities)."""
    return _wrap(_native.arrays(instance))


def arrays_from_file(path: str | os.PathLike[str]) -> DataSetArrays:
    """The arrays of a multicommodity file, each arc's ``low`` included (it must be an integer).
    Raises what ``pelmora.load_multi_commodity_instance`` raises for the same file."""
    return _wrap(_native.read_arrays(os.fspath(path)))


def load_arrays(path: str | os.PathLike[str]) -> DataSetArrays:
    """The arrays of a multicommodity file or of a single-commodity ".min" file (then K = 1)."""
    if _mcf_file.is_multicommodity(path):
        return arrays_from_file(path)
    return arrays_from_min(pelmora.load_min_instance(os.fspath(path)))
