"""A data set as NumPy arrays: the one shape every exporter, model builder and check works from."""

from __future__ import annotations

import os
from collections.abc import Iterable
from dataclasses import dataclass
from itertools import chain

import numpy as np
import numpy.typing as npt

import pelmora

from . import _mcf_file

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


def _ints(values: Iterable[int], count: int) -> Int64Array:
    return np.fromiter(values, dtype=np.int64, count=count)


def _supply_matrix(node_ids: Int64Array, partition: dict[int, list[int]], k: int) -> Int64Array:
    supplies = np.zeros((node_ids.shape[0], k), dtype=np.int64)
    if not partition or not k:
        return supplies
    keys = _ints(partition.keys(), len(partition))
    where = np.searchsorted(node_ids, keys)
    if all(len(amounts) == k for amounts in partition.values()):
        supplies[where] = _ints(chain.from_iterable(partition.values()), len(partition) * k).reshape(-1, k)
        return supplies
    # A hand-written node line may carry fewer or more amounts than K: the missing ones are 0.
    for row, amounts in zip(where.tolist(), partition.values()):
        supplies[row, : min(k, len(amounts))] = amounts[:k]
    return supplies


def _edge_columns(instance: pelmora.NetworkInstance) -> tuple[Int64Array, Int64Array, Int64Array, Int64Array]:
    # Each attribute read converts the whole record, so every view is read exactly once.
    edges = instance.edges
    m = len(edges)
    tails = _ints((e.tail for e in edges), m)
    heads = _ints((e.head for e in edges), m)
    low = _ints((e.low for e in edges), m)
    up = _ints((e.up for e in edges), m)
    return tails, heads, low, up


def arrays_from_data(instance: pelmora.NetworkInstance, data: pelmora.MultiCommodityData) -> DataSetArrays:
    """The arrays of a data set generated from ``instance``."""
    k = data.num_commodities
    tails, heads, low, up = _edge_columns(instance)
    m = tails.shape[0]
    node_ids = np.unique(np.asarray(instance.nodes, dtype=np.int64))
    costs = _ints(chain.from_iterable(data.weight), m * k).reshape(k, m).T.copy()
    capacities = _ints(chain.from_iterable(data.capacities_by_arc.values()), m * k).reshape(m, k)
    supplies = _supply_matrix(node_ids, data.supply_partition, k)
    return DataSetArrays(node_ids, tails, heads, low, up, costs, capacities, supplies)


def arrays_from_min(instance: pelmora.NetworkInstance) -> DataSetArrays:
    """A single-commodity instance as a data set with K = 1 (its own costs and capacities)."""
    tails, heads, low, up = _edge_columns(instance)
    m = tails.shape[0]
    node_ids = np.unique(np.asarray(instance.nodes, dtype=np.int64))
    costs = np.asarray(instance.weights, dtype=np.int64).reshape(m, 1)
    supplies = _supply_matrix(node_ids, {n: [s] for n, s in instance.supplies.items()}, 1)
    return DataSetArrays(node_ids, tails, heads, low, up, costs, up.reshape(m, 1).copy(), supplies)


def arrays_from_file(path: str | os.PathLike[str]) -> DataSetArrays:
    """The arrays of a multicommodity file. The module's reader supplies everything but each arc's
    ``low``, which its record does not carry; that column is read from the arc lines here."""
    parsed = pelmora.load_multi_commodity_instance(os.fspath(path))
    k = parsed.num_commodities
    tails = np.asarray(parsed.start_nodes, dtype=np.int64)
    heads = np.asarray(parsed.end_nodes, dtype=np.int64)
    m = tails.shape[0]
    up = np.asarray(parsed.capacities, dtype=np.int64)
    capacities = np.asarray(parsed.commodity_bundle_capacities, dtype=np.int64).reshape(k, m).T.copy()
    # The cost map iterates in ascending arc-key order; put its rows back into arc order.
    keyed_costs = _ints(chain.from_iterable(parsed.commodity_weights.values()), m * k).reshape(m, k)
    index = _ints(chain.from_iterable(parsed.edges), 3 * m).reshape(m, 3)
    key_order = np.lexsort((index[:, 2], index[:, 1], index[:, 0]))
    costs = np.empty((m, k), dtype=np.int64)
    costs[key_order] = keyed_costs
    node_ids = np.unique(np.asarray(parsed.nodes, dtype=np.int64))
    supplies = _supply_matrix(node_ids, parsed.commodity_supply_demand_data, k)
    low = _mcf_file.arc_lows(path, m)
    return DataSetArrays(node_ids, tails, heads, low, up, costs, capacities, supplies)


def load_arrays(path: str | os.PathLike[str]) -> DataSetArrays:
    """The arrays of a multicommodity file or of a single-commodity ".min" file (then K = 1)."""
    if _mcf_file.is_multicommodity(path):
        return arrays_from_file(path)
    return arrays_from_min(pelmora.load_min_instance(os.fspath(path)))
