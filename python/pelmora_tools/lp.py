"""The multicommodity min-cost flow LP of a data set, built for HiGHS straight from the arrays.

Column ``a*K + k`` is the flow of commodity k on arc a, bounded by [0, capacities[a, k]] and
costing costs[a, k]. Row ``k*n + i`` keeps commodity k in balance at node i (outflow minus inflow
equals the node's amount); with bundling, row ``K*n + a`` holds low[a] <= sum over k <= up[a].
"""

from __future__ import annotations

import math
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt

from .arrays import DataSetArrays

if TYPE_CHECKING:
    import highspy

# HiGHS indexes its matrix with 32-bit integers.
_MAX_INDEX = 2**31 - 1
_WRITABLE = (".mps", ".lp")


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


def _highspy() -> Any:
    try:
        import highspy
    except ModuleNotFoundError as error:
        raise ModuleNotFoundError("solving needs highspy: pip install 'pelmora[solve]'") from error
    return highspy


def _quiet_highs(hs: Any) -> Any:
    """A silent HiGHS. The first one of a process prints a banner on file descriptor 1 before any
    option can be set, which would break output meant for machines (JSON on stdout)."""
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        highs = hs.Highs()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)
    highs.setOptionValue("output_flag", False)
    return highs


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


def build_model(arrays: DataSetArrays, *, bundle: bool = True) -> highspy.Highs:
    """A HiGHS instance holding the LP (quiet; options such as a time limit are the caller's).
    Raises ``ValueError`` for arrays that do not form one data set (``DataSetArrays.validate``)."""
    arrays.validate()
    hs = _highspy()
    n, m, k = arrays.num_nodes, arrays.num_arcs, arrays.num_commodities
    num_col = m * k
    num_row = n * k + (m if bundle else 0)
    if num_col * (3 if bundle else 2) > _MAX_INDEX or num_row > _MAX_INDEX:
        raise ValueError(f"the LP of {m} arcs and {k} commodities exceeds HiGHS's 32-bit matrix indices")
    start, index, value = _matrix(arrays, bundle)
    balance = arrays.supplies.T.astype(np.float64).reshape(-1)
    if bundle:
        row_lower = np.concatenate((balance, arrays.low.astype(np.float64)))
        row_upper = np.concatenate((balance, arrays.up.astype(np.float64)))
    else:
        row_lower = row_upper = balance
    highs = _quiet_highs(hs)
    status = highs.passModel(
        num_col,
        num_row,
        int(index.shape[0]),
        int(hs.MatrixFormat.kColwise),
        int(hs.ObjSense.kMinimize),
        0.0,
        arrays.costs.astype(np.float64).reshape(-1),
        np.zeros(num_col, dtype=np.float64),
        arrays.capacities.astype(np.float64).reshape(-1),
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


def write_model(arrays: DataSetArrays, path: str | os.PathLike[str], *, bundle: bool = True) -> None:
    """Writes the LP as MPS (".mps") or CPLEX LP (".lp"), chosen by the file name's suffix."""
    suffix = Path(path).suffix.lower()
    if suffix not in _WRITABLE:
        raise ValueError(f"cannot tell the model format from {os.fspath(path)!r}: use a .mps or .lp file name")
    hs = _highspy()
    highs = build_model(arrays, bundle=bundle)
    if suffix == ".lp":
        # With an integrality list, even an all-continuous one, HiGHS writes empty "bin", "gen" and
        # "semi" sections, which GLPK's reader takes for variable names.
        model = highs.getLp()
        model.integrality_ = []
        highs.passModel(model)
    if highs.writeModel(os.fspath(path)) == hs.HighsStatus.kError:
        raise OSError(f"HiGHS could not write {os.fspath(path)!r}")


def _status_name(hs: Any, status: Any) -> str:
    names = {
        hs.HighsModelStatus.kOptimal: "optimal",
        hs.HighsModelStatus.kInfeasible: "infeasible",
        # Every column has finite bounds, so no ray exists: presolve's "unbounded or infeasible"
        # can only mean infeasible here.
        hs.HighsModelStatus.kUnboundedOrInfeasible: "infeasible",
        hs.HighsModelStatus.kUnbounded: "unbounded",
        hs.HighsModelStatus.kTimeLimit: "time-limit",
        hs.HighsModelStatus.kIterationLimit: "iteration-limit",
        hs.HighsModelStatus.kMemoryLimit: "memory-limit",
        hs.HighsModelStatus.kInterrupt: "interrupted",
    }
    return names.get(status, "error")


def run(highs: Any, time_limit: float | None, flows: bool, shape: tuple[int, int]) -> SolveResult:
    """Solves a model built by ``build_model`` (``shape`` is (arcs, commodities))."""
    hs = _highspy()
    if time_limit is not None:
        if not time_limit > 0 or math.isnan(time_limit):
            raise ValueError(f"time limit must be positive, not {time_limit}")
        highs.setOptionValue("time_limit", float(time_limit))
    begin = time.perf_counter()
    try:
        highs.run()
        seconds = time.perf_counter() - begin
    finally:
        # HiGHS keeps a pool of worker threads alive after a solve; a process that forks later
        # (multiprocessing, subprocess with preexec hooks) should not inherit idle threads.
        hs.Highs.resetGlobalScheduler(True)
    status = _status_name(hs, highs.getModelStatus())
    if status != "optimal":
        return SolveResult(status, None, seconds)
    objective = float(highs.getInfo().objective_function_value)
    result = SolveResult(status, objective, seconds)
    if flows:
        values = np.asarray(highs.getSolution().col_value, dtype=np.float64)
        result.flows = values.reshape(shape) if values.size else np.zeros(shape)
    return result


def solve(
    arrays: DataSetArrays, *, bundle: bool = True, time_limit: float | None = None, flows: bool = False
) -> SolveResult:
    """Builds and solves the LP. ``seconds`` is the solver's time, without building the model."""
    if arrays.num_arcs * arrays.num_commodities == 0:
        # HiGHS calls a model without columns empty, whatever its rows ask; decide it here.
        balanced = not arrays.supplies.any() and (not bundle or bool(((arrays.low <= 0) & (arrays.up >= 0)).all()))
        empty = np.zeros((arrays.num_arcs, arrays.num_commodities))
        return SolveResult("optimal", 0.0, 0.0, empty if flows else None) if balanced else SolveResult("infeasible", None, 0.0)
    highs = build_model(arrays, bundle=bundle)
    return run(highs, time_limit, flows, (arrays.num_arcs, arrays.num_commodities))
