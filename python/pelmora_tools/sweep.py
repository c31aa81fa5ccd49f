"""Many data sets from one network: every (method, K, seed) generated on a dask.distributed cluster,
written to its own file, optionally checked and solved, and summed up in one CSV row each.

The module's objects cannot be pickled, so only the instance's spec (a path), parameters and plain
numbers travel between the client and the workers; each worker loads the network itself (once per
worker process). A network may also be named by its NETGEN parameter line, ``netgen:`` followed by
the 15 integers: each worker then generates it (the same network wherever it runs). Each finished data set appends its row to the CSV at once, so a sweep that stops
early (Ctrl-C, a lost cluster) keeps every row it finished; a data set that fails is a row too,
with its status and a one-line error.
"""

from __future__ import annotations

import csv
import dataclasses
import functools
import hashlib
import io
import os
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import pelmora

from ._cluster import Lost, connect, finished
from .arrays import DataSetArrays, arrays_from_data
from .generation import Generation
from .netgen import NETGEN_SPEC, netgen, parse_netgen_params
from .summary import commodity_volumes, heterogeneity

Row = dict[str, int | float | str | bool | None]

# More data sets than this make a cluster's bookkeeping (a task each) the cost: split the sweep.
MAX_DATA_SETS = 100_000
# The statuses of rows whose data set did not finish; any other status is the work's own outcome.
FAILED = ("failed", "worker-died")
_ERROR_CHARS = 400


@dataclass(frozen=True)
class Work:
    """What is done with each generated data set besides writing it."""

    check: bool = False
    solve: bool = False
    bundle: bool = True
    time_limit: float | None = None


@dataclass(frozen=True)
class Point:
    """One data set of a sweep: all a worker needs to make it, small and picklable. ``instance`` is a
    spec that ``network`` resolves on the worker."""

    instance: str
    generation: Generation
    work: Work


@dataclass(frozen=True)
class Plan:
    """A sweep: one data set per (method, K, seed), the other generation arguments shared."""

    instance: str
    methods: tuple[str, ...]
    commodities: tuple[int, ...]
    seeds: tuple[int, ...]
    caps: tuple[float, float] | None = None
    costs: tuple[float, float] | None = None
    concentration: float = 3.0
    close: float | None = None
    check: bool = False
    solve: bool = False
    bundle: bool = True
    time_limit: float | None = None
    feasible: bool = False
    tightness: tuple[float, ...] = (0.0,)

    @property
    def size(self) -> int:
        return len(self.methods) * len(self.commodities) * len(self.seeds) * len(self._tightness)

    @property
    def _tightness(self) -> tuple[float, ...]:
        return self.tightness if self.feasible else (0.0,)

    def points(self) -> list[Point]:
        work = Work(self.check, self.solve, self.bundle, self.time_limit)
        return [
            Point(self.instance, Generation(k, method, seed, self.caps, self.costs, self.concentration, self.close,
                                            self.feasible, t), work)
            for method in self.methods
            for k in self.commodities
            for seed in self.seeds
            for t in self._tightness
        ]


def _netgen_line(spec: str) -> str | None:
    return spec[len(NETGEN_SPEC) :] if spec.startswith(NETGEN_SPEC) else None


def instance_name(spec: str) -> str:
    """The network as the CSV names it: the file's name, or the NETGEN spec itself."""
    return spec if _netgen_line(spec) is not None else Path(spec).name


def _stem(spec: str) -> str:
    line = _netgen_line(spec)
    if line is None:
        return Path(spec).stem
    # The seed and problem number, and a digest of the whole line, which they alone do not tell apart.
    params = parse_netgen_params(line)
    return f"netgen-{params.seed}-{params.problem}-{hashlib.sha256(params.line().encode()).hexdigest()[:8]}"


def file_name(point: Point) -> str:
    g = point.generation
    feasible = f"-feasible-t{g.tightness!r}" if g.feasible else ""
    return f"{_stem(point.instance)}-{g.method}-k{g.commodities}-s{g.seed}{feasible}.mcf"


@functools.lru_cache(maxsize=1)
def _network(path: str, stamp: tuple[int, int]) -> pelmora.NetworkInstance:
    # Keyed by (mtime, size) as well, so a worker that outlives one sweep never serves a stale network.
    return pelmora.load_min_instance(path)


@functools.lru_cache(maxsize=1)
def _netgen_network(line: str) -> pelmora.NetworkInstance:
    return netgen(line)


def network(spec: str) -> pelmora.NetworkInstance:
    """The network an instance spec names, loaded on the worker: a ".min" file's path, or
    generated from ``netgen:`` and NETGEN's parameter line."""
    line = _netgen_line(spec)
    if line is not None:
        return _netgen_network(line)
    status = os.stat(spec)
    return _network(spec, (status.st_mtime_ns, status.st_size))


def _shared(spec: str) -> str:
    # Workers run elsewhere (another directory, another host on a shared file system).
    return spec if _netgen_line(spec) is not None else str(Path(spec).resolve())


def parameters(point: Point) -> Row:
    """The columns that name a data set, known before any work."""
    g = point.generation
    row: Row = {
        "instance": instance_name(point.instance),
        "method": g.method,
        "commodities": g.commodities,
        "seed": g.seed,
        "caps": _pair(g.caps),
        "costs": _pair(g.costs),
        "concentration": g.concentration,
        "close": g.close,
    }
    if g.feasible:
        row["tightness"] = g.tightness
    return row


def _pair(pair: tuple[float, float] | None) -> str | None:
    return None if pair is None else f"{pair[0]!r} {pair[1]!r}"


def failure(error: BaseException, status: str = "failed") -> Row:
    """The status and one-line error of a data set that did not finish."""
    text = " ".join(str(error).split())
    if not text and isinstance(error, MemoryError):
        text = "not enough memory for this data set"
    named = f"{type(error).__name__}: {text}" if text else type(error).__name__
    if len(named) > _ERROR_CHARS:
        named = named[: _ERROR_CHARS - 3] + "..."
    return {"status": status, "error": named}


def run_point(point: Point, out_dir: str) -> Row:
    """One data set of the sweep, run on a worker: generate, write, measure; plain values only.
    ``generate_s`` is generating and writing the file; ``solve_s`` the solver's own time. Whatever
    the work raises becomes the row's status and error, with the columns it finished."""
    row = parameters(point) | {"worker_pid": os.getpid()}
    try:
        _measure(point, out_dir, row)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # the module's PanicException derives from BaseException
        row |= failure(error)
    return row


def _measure(point: Point, out_dir: str, row: Row) -> None:
    instance = network(point.instance)
    started = time.perf_counter()
    name = file_name(point)
    made = None
    if point.generation.feasible:
        made = point.generation.run_feasible(instance)
        made.save(Path(out_dir) / name)
        arrays = made.arrays
    else:
        data = point.generation.run(instance)
        pelmora.save_multi_commodity_instance(str(Path(out_dir) / name), instance, data)
    row |= {"file": name, "generate_s": time.perf_counter() - started}
    if made is None:
        arrays = arrays_from_data(instance, data)
    else:
        row["certificate_cost"] = made.cost
    supply, closed = commodity_volumes(arrays)
    row |= {
        "heterogeneity": heterogeneity(arrays),
        "min_commodity_supply": int(supply.min()),
        "max_commodity_supply": int(supply.max()),
        "closed_pairs": int(closed.sum()),
        "status": "written",
    }
    if point.work.check or point.work.solve:
        row |= _check_columns(arrays)
    if point.work.solve:
        row |= _solve_columns(arrays, point.work)
        if made is not None and isinstance(objective := row["objective"], float):
            row["certificate_gap"] = made.cost - objective


def _check_columns(arrays: DataSetArrays) -> Row:
    from .check import check_feasibility

    report = check_feasibility(arrays, bundled=False)
    blocked = [c for c in report.commodities if not c.feasible]
    # Nodes short in every maximum flow of their commodity; the shortfall counts all unmet demand.
    return {
        "alone_feasible": not blocked,
        "blocked_commodities": " ".join(str(c.commodity) for c in blocked),
        "unserved_nodes": len({node for c in blocked for node, _ in c.short_demand}),
        "shortfall": sum(c.shortfall for c in blocked),
    }


def _solve_columns(arrays: DataSetArrays, work: Work) -> Row:
    from .lp import solve

    result = solve(arrays, bundle=work.bundle, time_limit=work.time_limit)
    return {"status": result.status, "objective": result.objective, "solve_s": result.seconds}


def columns(plan: Plan) -> list[str]:
    """The CSV's columns, in order. A failed row leaves empty what its data set did not reach."""
    names = ["instance", "method", "commodities", "seed", "caps", "costs", "concentration", "close", "file",
             "heterogeneity", "min_commodity_supply", "max_commodity_supply", "closed_pairs", "generate_s"]
    if plan.check or plan.solve:
        names += ["alone_feasible", "blocked_commodities", "unserved_nodes", "shortfall"]
    if plan.solve:
        names += ["objective", "solve_s"]
    if plan.feasible:
        names[names.index("close") + 1 : names.index("close") + 1] = ["tightness"]
        names += ["certificate_cost", *(["certificate_gap"] if plan.solve else [])]
    return [*names, "status", "error", "worker_pid"]


def csv_path(out_dir: str | os.PathLike[str], name: str) -> Path:
    """Where the CSV goes: ``name`` inside ``out_dir``, or an absolute path given on purpose. A
    relative name that leads out of ``out_dir`` ("../x.csv", a symbolic link) is refused."""
    given = Path(name)
    if given.is_absolute():
        return given
    out = Path(out_dir).resolve()
    path = (out / given).resolve()
    if not path.is_relative_to(out) or path == out:
        raise ValueError(f"the CSV {name!r} would be outside {out}; give an absolute path to write it elsewhere")
    return path


class CsvRows:
    """A CSV that grows one whole row at a time: each row goes to the system in one write, so a
    sweep stopped at any point leaves complete lines. An existing file is replaced only if asked."""

    def __init__(self, path: Path, fields: list[str], *, overwrite: bool = False) -> None:
        self.fields = fields
        flags = os.O_WRONLY | os.O_CREAT | os.O_APPEND | (os.O_TRUNC if overwrite else os.O_EXCL)
        path.parent.mkdir(parents=True, exist_ok=True)
        self._fd = os.open(path, flags | os.O_CLOEXEC, 0o666)
        self.append(dict(zip(fields, fields)))

    def append(self, row: Row) -> None:
        text = io.StringIO()
        csv.DictWriter(text, fieldnames=self.fields, lineterminator="\n").writerow(row)
        line = memoryview(text.getvalue().encode())
        while line:
            line = line[os.write(self._fd, line):]

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


@dataclass
class Outcome:
    """What a sweep wrote: the CSV's path, how many data sets were planned and the rows written,
    by their index in the plan."""

    path: Path
    planned: int
    written: dict[int, Row] = dataclasses.field(default_factory=dict)

    @property
    def rows(self) -> list[Row]:
        """The rows written, in plan order (the CSV has them in the order they finished)."""
        return [self.written[index] for index in sorted(self.written)]

    @property
    def failed(self) -> int:
        return sum(row.get("status") in FAILED for row in self.rows)


class Interrupted(KeyboardInterrupt):
    """Ctrl-C ended the sweep; ``outcome`` holds the rows it finished, all in the CSV."""

    def __init__(self, outcome: Outcome) -> None:
        super().__init__(f"interrupted after {len(outcome.written)} of {outcome.planned} data sets")
        self.outcome = outcome


class Stopped(RuntimeError):
    """The cluster could make no more progress; ``outcome`` holds the rows it finished, all in the CSV."""

    def __init__(self, reason: str, outcome: Outcome) -> None:
        super().__init__(f"{reason}; {len(outcome.written)} of {outcome.planned} data sets finished")
        self.outcome = outcome


def progress[T](items: Iterable[T], total: int, stream: IO[str]) -> Iterator[T]:
    """Passes the items through, drawing a one-line bar on `stream` if it is a terminal."""
    draw = stream.isatty()
    width = 30
    try:
        for done, item in enumerate(items, 1):
            if draw:
                filled = width * done // max(total, 1)
                stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
                stream.flush()
            yield item
    finally:
        if draw:
            stream.write("\n")
            stream.flush()


Task = Callable[[Point, str], Row]


def run_sweep(
    plan: Plan | Sequence[Plan],
    out_dir: str | os.PathLike[str],
    *,
    csv_name: str = "sweep.csv",
    overwrite: bool = False,
    workers: int = 2,
    scheduler: str | None = None,
    timeout: float = 60.0,
    bar: IO[str] | None = None,
    task: Task = run_point,
) -> Outcome:
    """Runs the plan on a cluster: writes the data sets into out_dir and, as each finishes, its row
    to the CSV (``csv_path(out_dir, csv_name)``, in the order they finish).

    Parameters
    ----------
    plan : Plan or sequence of Plan
        The data sets; at most ``MAX_DATA_SETS``. Several plans (that differ in their instance
        only, as one per NETGEN problem of a parameter file) run on one cluster into one CSV.
    out_dir : path
        Where the files go. Paths are made absolute: with `scheduler`, every worker must see the
        same files (a shared file system).
    csv_name : str
        The CSV's name in out_dir, or an absolute path.
    overwrite : bool
        Replace an existing CSV; without it an existing CSV raises FileExistsError before any work.
    workers, scheduler
        A LocalCluster of `workers` processes, or the address of a running scheduler.
    timeout : float
        Seconds to wait for the scheduler to answer, and, while no data set finishes, for a worker
        to be connected; past them the sweep stops (`Stopped`).
    bar : text stream, optional
        Where a progress bar is drawn if it is a terminal (default standard error).
    task : callable
        Makes one row from a point and out_dir on a worker (default `run_point`).

    Returns
    -------
    Outcome
        The CSV's path and its rows in plan order; ``failed`` counts rows of data sets that failed.

    Raises
    ------
    Interrupted
        Ctrl-C; the rows finished so far are in the CSV.
    Stopped
        The scheduler stopped answering, or no worker was connected for `timeout` seconds.
    """
    plans = [plan] if isinstance(plan, Plan) else list(plan)
    if not plans:
        raise ValueError("a sweep needs at least one plan")
    size = sum(p.size for p in plans)
    if size > MAX_DATA_SETS:
        raise ValueError(f"{size} data sets: a sweep makes at most {MAX_DATA_SETS}; split it into several")
    out = Path(out_dir).resolve()
    path = csv_path(out, csv_name)
    if path.exists() and not overwrite:
        raise FileExistsError(f"{path} exists; pass overwrite=True to replace it")
    points = [dataclasses.replace(p, instance=_shared(p.instance)) for each in plans for p in each.points()]
    outcome = Outcome(path, len(points))
    with connect(scheduler, workers, timeout) as client:
        out.mkdir(parents=True, exist_ok=True)
        table = CsvRows(path, columns(plans[0]), overwrite=overwrite)
        try:
            futures = client.map(task, points, [str(out)] * len(points), pure=False)
            order = {future.key: index for index, future in enumerate(futures)}
            for future, result in progress(finished(client, futures, timeout), len(futures), bar or sys.stderr):
                index = order[future.key]
                row = _row_of(future, result, points[index])
                table.append(row)
                outcome.written[index] = row
        except KeyboardInterrupt:
            raise Interrupted(outcome) from None
        except Lost as lost:
            raise Stopped(str(lost), outcome) from None
        finally:
            table.close()
    return outcome


def _row_of(future: Any, result: Any, point: Point) -> Row:
    """The row a finished task returned, or a failed row for a task the cluster could not run."""
    from distributed.scheduler import KilledWorker

    if future.status == "finished":
        row: Row = result
        return row
    error = result[1] if future.status == "error" else RuntimeError(f"the task was {future.status} (a lost scheduler?)")
    status = "worker-died" if isinstance(error, KilledWorker) else "failed"
    return parameters(point) | failure(error, status)
