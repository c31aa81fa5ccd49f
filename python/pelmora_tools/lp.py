"""The multicommodity min-cost flow LP of a data set, built for HiGHS straight from the arrays.

Column ``a*K + k`` is the flow of commodity k on arc a, bounded by [0, capacities[a, k]] and
costing costs[a, k]. Row ``k*n + i`` keeps commodity k in balance at node i (outflow minus inflow
equals the node's amount); with bundling, row ``K*n + a`` holds low[a] <= sum over k <= up[a].
"""

from __future__ import annotations

import contextlib
import math
import os
import secrets
import sys
import tempfile
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt

from .arrays import DataSetArrays, ValueArray

if TYPE_CHECKING:
    import highspy

# HiGHS indexes its matrix with 32-bit integers.
_MAX_INDEX = 2**31 - 1
# What each format's last line is: a file that does not end with it was cut short.
_LAST_LINE = {".mps": b"ENDATA", ".lp": b"End"}
# presolve_rule_off's bit for "Dependent equations" (HiGHS 1.16's numbering of presolve rules).
_DEPENDENT_EQUATIONS_BIT = 1 << 10
# How long the waiting thread sleeps between looks at a running solve: Ctrl-C is obeyed within it.
_POLL_SECONDS = 0.1


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
    """A HiGHS instance that prints nothing from here on (its banner is ``highs_process``'s concern)."""
    highs = hs.Highs()
    highs.setOptionValue("output_flag", False)
    return highs


def absorb_banner() -> None:
    """Creates the process's first ``Highs()`` with file descriptor 1 pointed at /dev/null, so that
    the banner HiGHS prints then, before any option can be set, goes nowhere. Process-wide (it
    redirects a file descriptor for a moment): for a program's start, or a worker process's setup,
    before any thread writes to standard output. Needs highspy."""
    hs = _highspy()
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        hs.Highs()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


@contextlib.contextmanager
def highs_process() -> Iterator[None]:
    """Sets up, once for a whole program, the two effects HiGHS has on its process.

    On entering, ``absorb_banner``: HiGHS's banner would spoil output meant for machines (JSON on
    standard output). On leaving, HiGHS's pool of worker threads is stopped, so that the process
    ends (or forks) without idle solver threads. Both are process-wide, which is why the library
    never does them itself: a program's main function (the ``pelmora`` command) enters this once,
    around all its solves. Without highspy it does nothing.

    Yields
    ------
    None
    """
    try:
        hs = _highspy()
    except ModuleNotFoundError:
        yield
        return
    absorb_banner()
    try:
        yield
    finally:
        hs.Highs.resetGlobalScheduler(True)


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


def _skip_dependent_equations(highs: Any) -> None:
    """Switches off presolve's search for dependent equations. The balance rows of each commodity
    are dependent by construction (they sum to zero over each connected part of the network), the
    simplex copes with that by itself, and the search is the one step HiGHS neither interrupts
    nor, without a time limit, cuts short: on 20,000 arcs with K = 10 it took 75 s of a 79 s solve,
    which ends in 3.8 s without it, at the same optimum. The rule's bit in ``presolve_rule_off``
    is HiGHS's numbering since 1.16 (tests check the name HiGHS logs for it); earlier versions
    keep the search."""
    from importlib.metadata import version

    major, minor = (int(part) for part in version("highspy").split(".")[:2])
    if (major, minor) >= (1, 16):
        highs.setOptionValue("presolve_rule_off", _DEPENDENT_EQUATIONS_BIT)


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
    hs = _highspy()
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
    highs = _quiet_highs(hs)
    _skip_dependent_equations(highs)
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


def write_model(arrays: DataSetArrays, path: str | os.PathLike[str], *, bundle: bool = True) -> None:
    """Writes the LP as MPS or CPLEX LP, chosen by the file name's suffix.

    Parameters
    ----------
    arrays : DataSetArrays
        The data set.
    path : str or os.PathLike
        The file to write; its suffix, ".mps" or ".lp" in any case, chooses the format.
    bundle : bool
        Whether the bundle rows are written.

    Raises
    ------
    ValueError
        For a suffix that names neither format, or a model HiGHS refuses.
    OSError
        When the file cannot be written whole. HiGHS does not report its own write errors, so it
        writes a temporary file beside the target, which is then checked to end as its format
        ends and flushed to disk; only then is it renamed over the target. On failure nothing is
        left but what was there before. A target that exists and is not a regular file (a
        device, a FIFO) is written through Python's checked writes instead.
    """
    name = os.fspath(path)
    suffix = Path(name).suffix.lower()
    if suffix not in _LAST_LINE:
        raise ValueError(f"cannot tell the model format from {name!r}: use a .mps or .lp file name")
    hs = _highspy()
    highs = build_model(arrays, bundle=bundle)
    if suffix == ".lp":
        # With an integrality list, even an all-continuous one, HiGHS writes empty "bin", "gen" and
        # "semi" sections, which GLPK's reader takes for variable names.
        model = highs.getLp()
        model.integrality_ = []
        highs.passModel(model)
    target = Path(name)
    regular = not target.exists() or target.is_file()
    folder = str(target.parent) if regular else None
    temporary = _new_file(Path(folder or tempfile.gettempdir()) / f".{target.name}", suffix)
    try:
        if highs.writeModel(temporary) == hs.HighsStatus.kError:
            raise OSError(f"HiGHS could not write {name!r}")
        _check_whole(temporary, _LAST_LINE[suffix], name)
        if regular:
            os.replace(temporary, name)
        else:
            _copy_checked(temporary, name)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)


def _new_file(stem: Path, suffix: str) -> str:
    """A new empty file named after ``stem``, with the permissions the umask gives (mkstemp's are 0600)."""
    while True:
        name = f"{stem}.{secrets.token_hex(4)}{suffix}"
        try:
            os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return name
        except FileExistsError:
            continue


def _check_whole(written: str, last_line: bytes, name: str) -> None:
    """Flushes a file HiGHS wrote to disk and checks that it ends with its format's last line."""
    with open(written, "rb+") as file:
        os.fsync(file.fileno())
        size = file.seek(0, os.SEEK_END)
        file.seek(max(size - len(last_line) - 2, 0))
        if not file.read().rstrip().lower().endswith(last_line.lower()):
            raise OSError(f"{name}: the model was not written whole (the disk may be full)")


def _copy_checked(source: str, name: str) -> None:
    try:
        with open(source, "rb") as src, open(name, "wb") as out:
            while chunk := src.read(1 << 20):
                out.write(chunk)
    except OSError as error:
        raise OSError(error.errno, error.strerror, name) from None


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


def _run_interruptible(highs: Any) -> None:
    """Runs HiGHS so that Ctrl-C stops it within ``_POLL_SECONDS``: the solve runs on a helper
    thread (HiGHS releases the interpreter lock while it works) while this thread waits in short
    steps; a KeyboardInterrupt sets a flag that HiGHS's interrupt callbacks read, and HiGHS ends
    with its "interrupt" status. Only the main thread receives signals, so elsewhere (a worker
    thread) the solve simply runs where it was called."""
    if threading.current_thread() is not threading.main_thread():
        highs.run()
        return
    stop = threading.Event()

    def poll(event: Any) -> None:
        if stop.is_set():
            event.interrupt()

    highs.cbSimplexInterrupt += poll
    highs.cbIpmInterrupt += poll
    highs.cbMipInterrupt += poll
    failure: list[BaseException] = []

    def work() -> None:
        try:
            highs.run()
        except BaseException as error:  # handed to the waiting thread
            failure.append(error)

    solver = threading.Thread(target=work, name="highs-solve", daemon=True)
    solver.start()
    while solver.is_alive():
        try:
            solver.join(_POLL_SECONDS)
        except KeyboardInterrupt:
            stop.set()
    highs.cbSimplexInterrupt -= poll
    highs.cbIpmInterrupt -= poll
    highs.cbMipInterrupt -= poll
    if failure:
        raise failure[0]


def run(highs: Any, time_limit: float | None, flows: bool, shape: tuple[int, int]) -> SolveResult:
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

    Returns
    -------
    SolveResult
        Ctrl-C during the solve stops HiGHS and gives the status "interrupted" (the
        KeyboardInterrupt is not raised further: the status says it).
    """
    hs = _highspy()
    if time_limit is not None:
        if not time_limit > 0 or math.isnan(time_limit):
            raise ValueError(f"time limit must be positive, not {time_limit}")
        highs.setOptionValue("time_limit", float(time_limit))
    begin = time.perf_counter()
    _run_interruptible(highs)
    seconds = time.perf_counter() - begin
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
    return run(highs, time_limit, flows, (arrays.num_arcs, arrays.num_commodities))
