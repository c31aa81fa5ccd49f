"""The multicommodity min-cost flow LP of a data set, built for HiGHS straight from the arrays.

Column ``a*K + k`` is the flow of commodity k on arc a, bounded by [0, capacities[a, k]] and
costing costs[a, k]. Row ``k*n + i`` keeps commodity k in balance at node i (outflow minus inflow
equals the node's amount); with bundling, row ``K*n + a`` holds low[a] <= sum over k <= up[a].
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt

from ._highs import (
    Iterate,
    absorb_banner,
    highs_process,
    highspy_module,
    quiet_highs,
    run_interruptible,
    skip_dependent_equations,
    status_name,
)
from .arrays import DataSetArrays, ValueArray

# highs_process and absorb_banner are documented here, beside the solve they prepare a program for.
__all__ = ["SolveResult", "absorb_banner", "build_model", "highs_process", "run", "solve"]

if TYPE_CHECKING:
    from collections.abc import Callable

    import highspy

# HiGHS indexes its matrix with 32-bit integers.
_MAX_INDEX = 2**31 - 1


@dataclass
class SolveResult:
    """Outcome of one solve. ``objective`` is set when the status is "optimal"; ``flows`` (arcs x
    commodities) when asked for and a solution exists."""

    status: str
    objective: float | None
    seconds: float
    flows: npt.NDArray[np.float64] | None = field(default=None, repr=False)

    def to_dict(self) -> dict[str, Any]:
        return {"status": self.status, "objective": self.objective, "seconds": self.seconds}


def _matrix(arrays: DataSetArrays, bundle: bool) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32], npt.NDArray[np.float64]]:
    """The constraint matrix column by column (start, index, value), built in place in its final
    dtypes so that no full-size temporary outlives a line."""
    n, m, k = arrays.num_nodes, arrays.num_arcs, arrays.num_commodities
    per_col = 3 if bundle else 2
    tail = arrays.node_index(arrays.tails).astype(np.int32)
    head = arrays.node_index(arrays.heads).astype(np.int32)
    offsets = (np.arange(k, dtype=np.int32) * np.int32(n))[None, :]
    index = np.empty((m, k, per_col), dtype=np.int32)
    np.add(tail[:, None], offsets, out=index[:, :, 0])
    np.add(head[:, None], offsets, out=index[:, :, 1])
    value = np.empty((m, k, per_col), dtype=np.float64)
    value[:, :, 0] = 1.0
    value[:, :, 1] = -1.0
    if bundle:
        index[:, :, 2] = (np.arange(m, dtype=np.int32) + np.int32(n * k))[:, None]
        value[:, :, 2] = 1.0
    loops = tail == head
    if not loops.any():
        start = np.arange(0, m * k * per_col + 1, per_col, dtype=np.int32)
        return start, index.reshape(-1), value.reshape(-1)
    # A loop's two conservation entries cancel and HiGHS refuses a repeated row in one column.
    keep = np.ones((m, k, per_col), dtype=bool)
    keep[loops, :, :2] = False
    counts = keep.sum(axis=2, dtype=np.int32).reshape(-1)
    start = np.zeros(m * k + 1, dtype=np.int32)
    np.cumsum(counts, out=start[1:])
    return start, index[keep], value[keep]


def _flat_float(values: ValueArray) -> npt.NDArray[np.float64]:
    """One conversion pass into a C-ordered float array (the (m, K) arrays are C-ordered already)."""
    return np.asarray(values, dtype=np.float64, order="C").reshape(-1)


def build_model(arrays: DataSetArrays, *, bundle: bool = True) -> highspy.Highs:
    """A HiGHS instance holding the LP (quiet; options such as a time limit are the caller's).

    Parameters
    ----------
    arrays : DataSetArrays
        The data set.
    bundle : bool, default True
        Add one row per arc bounding the flow of all commodities by ``[low, up]``.

    Returns
    -------
    highspy.Highs
        The model, passed to HiGHS and not yet solved.

    Raises
    ------
    ValueError
        For arrays that do not form one data set (``DataSetArrays.validate``), or a model past
        HiGHS's 32-bit indices.
    ModuleNotFoundError
        Without highspy.
    """
    arrays.validate()
    hs = highspy_module()
    n, m, k = arrays.num_nodes, arrays.num_arcs, arrays.num_commodities
    num_col = m * k
    num_row = n * k + (m if bundle else 0)
    if num_col * (3 if bundle else 2) > _MAX_INDEX or num_row > _MAX_INDEX:
        raise ValueError(f"the LP of {m} arcs and {k} commodities exceeds HiGHS's 32-bit matrix indices")
    start, index, value = _matrix(arrays, bundle)
    # Each bound is converted once, straight into the array HiGHS copies (row k*n + i is node i's
    # balance for commodity k, so the supplies go in transposed).
    row_lower = np.empty(num_row, dtype=np.float64)
    row_lower[: n * k].reshape(k, n)[...] = arrays.supplies.T
    if bundle:
        row_upper = row_lower.copy()
        row_lower[n * k :] = arrays.low
        row_upper[n * k :] = arrays.up
    else:
        row_upper = row_lower
    highs = quiet_highs(hs)
    skip_dependent_equations(highs)
    status = highs.passModel(
        num_col,
        num_row,
        int(index.shape[0]),
        int(hs.MatrixFormat.kColwise),
        int(hs.ObjSense.kMinimize),
        0.0,
        _flat_float(arrays.costs),
        np.zeros(num_col, dtype=np.float64),
        _flat_float(arrays.capacities),
        row_lower,
        row_upper,
        start[:-1],
        index,
        value,
        np.zeros(num_col, dtype=np.int32),  # all continuous; calloc'ed, so it costs no memory until read
    )
    if status == hs.HighsStatus.kError:
        raise ValueError("HiGHS refused the model")
    return cast("highspy.Highs", highs)


def run(
    highs: Any, time_limit: float | None, flows: bool, shape: tuple[int, int],
    watch: Callable[[Iterate], object] | None = None,
) -> SolveResult:
    """Solves a model built by ``build_model``.

    Parameters
    ----------
    highs : highspy.Highs
        The model.
    time_limit : float or None
        Seconds HiGHS may spend.
    flows : bool
        Whether the result carries the flows.
    shape : tuple of int
        (arcs, commodities) of the data set, the shape of the flows.
    watch : callable, optional
        Called a few times a second, on the calling thread, with (iterations, objective,
        seconds) as the solve goes: progress of one's own.

    Returns
    -------
    SolveResult
        Ctrl-C during the solve stops HiGHS and gives the status "interrupted" (the
        KeyboardInterrupt is not raised further: the status says it).
    """
    hs = highspy_module()
    if time_limit is not None:
        if not time_limit > 0 or math.isnan(time_limit):
            raise ValueError(f"time limit must be positive, not {time_limit}")
        highs.setOptionValue("time_limit", float(time_limit))
    begin = time.perf_counter()
    run_interruptible(highs, watch)
    seconds = time.perf_counter() - begin
    status = status_name(hs, highs.getModelStatus())
    if status != "optimal":
        return SolveResult(status, None, seconds)
    objective = float(highs.getInfo().objective_function_value)
    result = SolveResult(status, objective, seconds)
    if flows:
        values = np.asarray(highs.getSolution().col_value, dtype=np.float64)
        result.flows = values.reshape(shape) if values.size else np.zeros(shape)
    return result


def solve(
    arrays: DataSetArrays, *, bundle: bool = True, time_limit: float | None = None, flows: bool = False,
    watch: Callable[[Iterate], object] | None = None,
) -> SolveResult:
    """Builds and solves the LP.

    Parameters
    ----------
    arrays : DataSetArrays
        The data set.
    bundle : bool, default True
        With the bundle rows (see ``build_model``).
    time_limit : float, optional
        Seconds of HiGHS's own solve; then the status may be "time-limit".
    flows : bool, default False
        Return the optimal flows (arcs x commodities) too.
    watch : callable, optional
        Progress of the solve (see ``run``).

    Returns
    -------
    SolveResult
        The status ("optimal", "infeasible", "time-limit", "interrupted", ...), the objective when
        optimal, and ``seconds``, the solver's time without building the model.
    """
    if arrays.num_arcs * arrays.num_commodities == 0:
        # HiGHS calls a model without columns empty, whatever its rows ask; decide it here.
        balanced = not arrays.supplies.any() and (not bundle or bool(((arrays.low <= 0) & (arrays.up >= 0)).all()))
        empty = np.zeros((arrays.num_arcs, arrays.num_commodities))
        return SolveResult("optimal", 0.0, 0.0, empty if flows else None) if balanced else SolveResult("infeasible", None, 0.0)
    highs = build_model(arrays, bundle=bundle)
    return run(highs, time_limit, flows, (arrays.num_arcs, arrays.num_commodities), watch)
