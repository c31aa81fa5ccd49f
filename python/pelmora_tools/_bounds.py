"""The data set's bounds and supplies as the integers the feasibility check routes, and the sums
it takes over the commodities, a block of arcs at a time."""

from __future__ import annotations

import numpy as np

from ._max_flow import INT64_MAX, Int64Array, exact_sum
from .arrays import DataSetArrays, ValueArray

# Values of an (arcs, K) array taken at a time where a whole copy is not needed: the check's memory
# stays the data set's arrays and a few columns, whatever K.
_BLOCK_VALUES = 1 << 20


def summed_capacity(capacities: Int64Array, up: Int64Array) -> tuple[Int64Array, bool]:
    """Per arc, what the commodities together may carry: the sum of min(capacity, up) over the
    commodities, capped at up; and whether every such sum stays within up (the bundle rows
    then never bind, lower bounds aside). Summed a block of arcs at a time."""
    total = np.empty(len(up), dtype=np.int64)
    rows = max(1, _BLOCK_VALUES // max(1, capacities.shape[1] if capacities.ndim == 2 else 1))
    for start in range(0, len(up), rows):
        block = slice(start, start + rows)
        each = np.minimum(capacities[block], up[block, None])
        np.maximum(each, 0, out=each)
        if (each.astype(np.float64).sum(axis=1) >= 2.0**62).any():
            total[block] = [min(sum(int(v) for v in row), INT64_MAX) for row in each.tolist()]
        else:
            total[block] = each.sum(axis=1)
    return np.minimum(total, up), bool((total <= up).all())


def row_sums(supplies: Int64Array) -> Int64Array | None:
    if (np.abs(supplies.astype(np.float64)).sum(axis=1) >= 2.0**62).any():
        return None
    return supplies.sum(axis=1)


def integral_bounds(arrays: DataSetArrays) -> tuple[Int64Array, Int64Array, Int64Array]:
    """``capacities``, ``up`` and ``supplies`` as the integers the maximum flows route. A float64
    field (a data set read from files with decimals or "no bound") passes when its values are
    integers or, for the bounds, +inf, which becomes one more than all supplies together: a
    feasible flow without cycles never carries that much on an arc, so feasibility is unchanged
    (the LP solve still takes the data set as it is). Decimal values are refused."""

    def whole(name: str, values: ValueArray, bound: int) -> Int64Array:
        if values.dtype == np.int64:
            return values.astype(np.int64, copy=False)
        finite = np.isfinite(values)
        if not (np.floor(values[finite]) == values[finite]).all() or (np.abs(values[finite]) >= 2.0**62).any():
            raise ValueError(f"the feasibility check routes integer flows; {name} holds decimal values")
        out = np.where(finite, values, 0).astype(np.int64)
        out[~finite] = bound
        return out

    supplies = whole("supplies", arrays.supplies, 0)
    if arrays.capacities.dtype == np.int64 and arrays.up.dtype == np.int64:
        return whole("capacities", arrays.capacities, 0), whole("up", arrays.up, 0), supplies  # no "no bound" here
    total = exact_sum(np.clip(supplies, 0, None).reshape(-1)) + 1
    if total > INT64_MAX:
        raise ValueError("the feasibility check routes 64-bit flows; the supplies together pass 2^63 - 1")
    return whole("capacities", arrays.capacities, total), whole("up", arrays.up, total), supplies
