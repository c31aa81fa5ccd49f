"""Why a data set cannot be solved: each commodity routed alone as a maximum flow from its supplies
to its demands, then, if every commodity passes, the bundled model's feasibility."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from . import lp
from .arrays import DataSetArrays

# scipy's maximum flow keeps capacities in 32-bit integers.
_MAX_CAPACITY = 2**31 - 1
_SHOWN = 5


@dataclass
class CommodityCheck:
    """One commodity routed alone. ``unserved`` holds (node id, shortfall): demand nodes that
    receive less than they ask, and, when the commodity's supplies exceed its demands, supply
    nodes that cannot send all they hold (their shortfall negative, minus what stays)."""

    commodity: int  # 1-based
    feasible: bool
    unserved: list[tuple[int, int]] = field(default_factory=list)


@dataclass
class FeasibilityReport:
    """``bundled_status`` is that of the bundled model ("feasible", "infeasible", "time-limit", ...),
    "infeasible" without a solve when a commodity fails alone, None when not asked for."""

    commodities: list[CommodityCheck]
    bundled_status: str | None

    @property
    def feasible(self) -> bool:
        return all(c.feasible for c in self.commodities) and self.bundled_status in (None, "feasible")

    def to_dict(self) -> dict[str, Any]:
        return {
            "feasible": self.feasible,
            "bundled_status": self.bundled_status,
            "commodities": [
                {"commodity": c.commodity, "feasible": c.feasible, "unserved": [list(u) for u in c.unserved]}
                for c in self.commodities
            ],
        }

    def summary(self) -> str:
        lines = []
        for c in self.commodities:
            if c.feasible:
                lines.append(f"commodity {c.commodity}: feasible alone")
                continue
            short = [u for u in c.unserved if u[1] > 0]
            shown = ", ".join(f"node {node} short {amount}" for node, amount in short[:_SHOWN])
            more = f" and {len(short) - _SHOWN} more" if len(short) > _SHOWN else ""
            stuck = sum(-u[1] for u in c.unserved if u[1] < 0)
            lines.append(
                f"commodity {c.commodity}: infeasible alone, {len(short)} demand node(s) unserved"
                + (f" ({shown}{more})" if short else "")
                + (f", {stuck} unit(s) of supply cannot leave" if stuck else "")
            )
        if self.bundled_status is not None:
            lines.append(f"bundled model: {self.bundled_status}")
        lines.append("feasible" if self.feasible else "infeasible")
        return "\n".join(lines)


def _shifted_supplies(arrays: DataSetArrays, column: int, honour_low: bool) -> npt.NDArray[np.int64]:
    """The commodity's amounts, with each lower bound already sent along its arc when it counts."""
    amounts = arrays.supplies[:, column].copy()
    if honour_low and arrays.low.any():
        n = arrays.num_nodes
        amounts -= np.bincount(arrays.node_index(arrays.tails), weights=arrays.low, minlength=n).astype(np.int64)
        amounts += np.bincount(arrays.node_index(arrays.heads), weights=arrays.low, minlength=n).astype(np.int64)
    return amounts


def _route_alone(arrays: DataSetArrays, column: int, honour_low: bool) -> CommodityCheck:
    from scipy.sparse import csr_array  # type: ignore[import-untyped]
    from scipy.sparse.csgraph import maximum_flow  # type: ignore[import-untyped]

    n = arrays.num_nodes
    source, sink = n, n + 1
    amounts = _shifted_supplies(arrays, column, honour_low)
    givers = np.flatnonzero(amounts > 0)
    takers = np.flatnonzero(amounts < 0)
    capacity = arrays.capacities[:, column]
    if honour_low:
        capacity = np.minimum(capacity, arrays.up) - arrays.low
    if (capacity < 0).any():
        # An arc whose lower bound exceeds what this commodity may carry: nothing can flow at all.
        return CommodityCheck(column + 1, False, _unserved(arrays, amounts, givers, takers, None, None))
    total = int(amounts[givers].sum())
    if total > _MAX_CAPACITY:
        raise ValueError(f"commodity {column + 1} moves {total} units, beyond the 32-bit maximum flow")
    usable = (capacity > 0) & (arrays.tails != arrays.heads)
    rows = np.concatenate(
        (arrays.node_index(arrays.tails[usable]), np.full(givers.size, source), takers)
    )
    cols = np.concatenate((arrays.node_index(arrays.heads[usable]), givers, np.full(takers.size, sink)))
    caps = np.concatenate((np.minimum(capacity[usable], total), amounts[givers], -amounts[takers]))
    graph = csr_array((caps.astype(np.int32), (rows, cols)), shape=(n + 2, n + 2))
    graph.sum_duplicates()
    result = maximum_flow(graph, source, sink)
    flow = result.flow
    sent = np.asarray(flow[[source] * givers.size, givers]).ravel() if givers.size else np.zeros(0)
    got = np.asarray(flow[takers, [sink] * takers.size]).ravel() if takers.size else np.zeros(0)
    check = _unserved(arrays, amounts, givers, takers, sent, got)
    return CommodityCheck(column + 1, not check, check)


def _unserved(
    arrays: DataSetArrays,
    amounts: npt.NDArray[np.int64],
    givers: npt.NDArray[np.intp],
    takers: npt.NDArray[np.intp],
    sent: npt.NDArray[Any] | None,
    got: npt.NDArray[Any] | None,
) -> list[tuple[int, int]]:
    short = -amounts[takers] - (0 if got is None else got.astype(np.int64))
    left = amounts[givers] - (0 if sent is None else sent.astype(np.int64))
    out = [(int(arrays.node_ids[v]), int(s)) for v, s in zip(takers, short) if s > 0]
    return out + [(int(arrays.node_ids[v]), -int(s)) for v, s in zip(givers, left) if s > 0]


def check_feasibility(
    arrays: DataSetArrays, *, bundled: bool = True, time_limit: float | None = None
) -> FeasibilityReport:
    """Routes every commodity alone (its own capacities; when K = 1 and the bundle rows are on, the
    arcs' ``low`` and ``up`` too, since then they bind that one commodity); with ``bundled``, then
    solves the bundled model for feasibility, with zero costs, unless a commodity already fails.
    Raises ``ValueError`` for arrays that do not form one data set (``DataSetArrays.validate``)."""
    arrays.validate()
    k = arrays.num_commodities
    honour_low = bundled and k == 1
    commodities = [_route_alone(arrays, c, honour_low) for c in range(k)]
    status: str | None = None
    if bundled:
        if not all(c.feasible for c in commodities):
            status = "infeasible"
        else:
            free = DataSetArrays(
                arrays.node_ids, arrays.tails, arrays.heads, arrays.low, arrays.up,
                np.zeros_like(arrays.costs), arrays.capacities, arrays.supplies,
            )  # fmt: skip
            solved = lp.solve(free, bundle=True, time_limit=time_limit)
            status = "feasible" if solved.status == "optimal" else solved.status
    return FeasibilityReport(commodities, status)
