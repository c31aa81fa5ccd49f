"""What a data set holds, in numbers a study reports: per-commodity volumes, closed arcs, the
heterogeneity score, and the description ``pelmora info`` prints."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

import pelmora

from ._mcf_file import Problem
from .arrays import DataSetArrays, ValueArray
from .methods import name_of

# The module's score takes a Python list of K amounts per node: above this many amounts in all,
# ``describe`` leaves the score out rather than build them (about 30 bytes each).
SCORE_LIMIT = 10_000_000


def heterogeneity(arrays: DataSetArrays) -> float:
    """The module's heterogeneity score of the split the arrays hold (node totals = row sums)."""
    totals = arrays.supplies.sum(axis=1)
    rows = np.flatnonzero(totals)
    ids = arrays.node_ids[rows].tolist()
    partition = dict(zip(ids, arrays.supplies[rows].tolist(), strict=True))
    return pelmora.compute_commodity_demand_heterogeneity(partition, dict(zip(ids, totals[rows].tolist(), strict=True)))


def commodity_volumes(arrays: DataSetArrays) -> tuple[ValueArray, npt.NDArray[np.int64]]:
    """Per commodity: the units its supply nodes send (float64 where the supplies hold decimals),
    and the arcs closed to it (capacity 0). The masks are one byte a value: no copy of the n x K
    or m x K amounts is made."""
    supplies = arrays.supplies
    supply: ValueArray
    if supplies.dtype == np.int64:
        supply = np.sum(supplies, axis=0, where=supplies > 0, dtype=np.int64)
    else:
        supply = np.sum(supplies, axis=0, where=supplies > 0, dtype=np.float64)
    closed = np.count_nonzero(arrays.capacities == 0, axis=0).astype(np.int64)
    return supply, closed


def _fraction(text: str) -> float:
    """The closing fraction as the file writes it; NaN where Python reads no number (the reader has
    accepted the file, so this is only a spelling Python's float does not share)."""
    try:
        return float(text)
    except ValueError:
        return math.nan


def describe(name: str, problem: Problem | None, arrays: DataSetArrays) -> dict[str, Any]:
    """Counts as the problem line declares them (as read, for a data set without one: mnetgen's
    files or a generator's), K, the generation's flags and seed (multicommodity files),
    per-commodity supply volume and closed arcs, and the heterogeneity score (None where it is not
    a number, as for a data set without commodities or with decimal supplies, or past
    ``SCORE_LIMIT`` amounts). The per-commodity columns are arrays of K values."""
    if problem is None:
        header: dict[str, Any] = {"file": name, "kind": "mnetgen", "nodes": arrays.num_nodes, "arcs": arrays.num_arcs}
    else:
        header = {"file": name, "kind": "multicommodity" if problem.multicommodity else "min",
                  "nodes": problem.number(2), "arcs": problem.number(3)}
    if problem is not None and problem.multicommodity:
        fields = problem.fields
        method = int(fields[7])
        header |= {
            "method": name_of(method), "seed": int(fields[10]),
            "randomized_capacities": fields[5] != "0", "randomized_costs": fields[6] != "0",
            "closing": fields[8] != "0", "closed_fraction": _fraction(fields[9]),
        }
    else:
        header |= {"method": None, "seed": None, "randomized_capacities": False, "randomized_costs": False,
                   "closing": False, "closed_fraction": 0.0}
    supply, closed = commodity_volumes(arrays)
    amounts = int(np.count_nonzero(arrays.supplies.any(axis=1))) * arrays.num_commodities
    integral = arrays.supplies.dtype == np.int64  # the module's score takes integer amounts
    score = heterogeneity(arrays) if integral and 0 < amounts <= SCORE_LIMIT else math.nan
    return header | {"commodities": arrays.num_commodities, "supply": supply, "closed_arcs": closed,
                     "heterogeneity": score if math.isfinite(score) else None}
