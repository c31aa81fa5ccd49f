"""A sweep on a dask.distributed cluster: points mapped to tasks, rows appended as they finish."""

from __future__ import annotations

import dataclasses
import os
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

from .._cluster import Lost, connect, finished
from ..sources import parse
from .plan import MAX_DATA_SETS, Plan, Point, Row, parameters
from .table import CsvRows, as_text, columns, csv_path, whole_rows
from .worker import FAILED, failure, run_point


@dataclass
class Outcome:
    """What a sweep wrote: the CSV's path, how many data sets were planned, the rows written, by
    their index in the plan, how many rows a resumed CSV held already, and the seconds it took."""

    path: Path
    planned: int
    written: dict[int, Row] = dataclasses.field(default_factory=dict)
    kept: int = 0
    seconds: float = 0.0

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


def progress[T](items: Iterable[T], total: int, stream: IO[str], failed: Callable[[T], bool] | None = None) -> Iterator[T]:
    """Passes the items through, drawing tqdm's bar on `stream` if it is a terminal (and tqdm is
    installed): done of total, rate, time left, and how many items `failed` says failed."""
    try:
        from tqdm import tqdm
    except ImportError:
        yield from items
        return
    if not stream.isatty():
        yield from items
        return
    bar = tqdm(total=total, file=stream, unit=" data sets", dynamic_ncols=True, mininterval=0.2)
    count = 0
    try:
        for item in items:
            yield item
            count += bool(failed and failed(item))
            bar.set_postfix(failed=count, refresh=False)
            bar.update()
    finally:
        bar.close()


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
    resume: bool = False,
    on_row: Callable[[Row], object] | None = None,
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
        Replace an existing CSV; without it (or `resume`) an existing CSV raises FileExistsError
        before any work.
    resume : bool
        Append to an existing CSV the rows of the data sets it does not hold yet (every row written
        whole counts, a failed one too; a partial last line is dropped and its data set done
        again). A CSV with other columns raises ValueError, untouched.
    workers, scheduler
        A LocalCluster of `workers` processes, or the address of a running scheduler.
    timeout : float
        Seconds to wait for the scheduler to answer, and, while no data set finishes, for a worker
        to be connected; past them the sweep stops (`Stopped`).
    bar : text stream, optional
        Where a progress bar is drawn if it is a terminal (default standard error).
    task : callable
        Makes one row from a point and out_dir on a worker (default `run_point`).
    on_row : callable, optional
        Called with each row once it is in the CSV, in this process (progress of one's own; an
        exception it raises ends the sweep as Ctrl-C does).

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
    resume = resume and path.exists()
    if path.exists() and not (overwrite or resume):
        raise FileExistsError(f"{path} exists; pass overwrite=True to replace it")
    began = time.perf_counter()
    fields = columns(plans[0])
    points = [dataclasses.replace(p, instance=parse(p.instance).shared()) for each in plans for p in each.points()]
    outcome = Outcome(path, len(points))
    todo = list(range(len(points)))
    if resume:
        todo, outcome.kept = _not_done(points, whole_rows(path, fields), fields)
    with connect(scheduler, workers, timeout) as client:
        out.mkdir(parents=True, exist_ok=True)
        table = CsvRows(path, fields, overwrite=overwrite, resume=resume)
        try:
            batches = _batches(todo, workers if scheduler is None else _workers(client))
            futures = client.map(_run_batch, [[points[i] for i in batch] for batch in batches],
                                 [str(out)] * len(batches), [task] * len(batches), pure=False)
            order = {future.key: batch for batch, future in zip(batches, futures)}
            rows = (
                (index, row)
                for future, result in finished(client, futures, timeout)
                for index, row in zip(order[future.key], _rows_of(future, result, [points[i] for i in order[future.key]]))
            )
            for index, row in progress(rows, len(todo), bar or sys.stderr, lambda done: done[1].get("status") in FAILED):
                table.append(row)
                outcome.written[index] = row
                if on_row is not None:
                    on_row(row)
        except KeyboardInterrupt:
            raise Interrupted(outcome) from None
        except Lost as lost:
            raise Stopped(str(lost), outcome) from None
        finally:
            table.close()
            outcome.seconds = time.perf_counter() - began
    return outcome


def _not_done(points: list[Point], rows: list[dict[str, str]], fields: list[str]) -> tuple[list[int], int]:
    """The indices of the points no row names yet, and how many of the rows name a point."""
    names = list(parameters(points[0]))
    done = {tuple(row[name] for name in names) for row in rows}
    todo = [i for i, point in enumerate(points)
            if tuple(as_text(parameters(point), fields)[name] for name in names) not in done]
    return todo, len(points) - len(todo)


# Tasks a sweep aims at per worker: enough to keep every worker busy to the end and the rows coming
# as they finish, few enough that a tiny data set does not pay a task's round trip of its own.
_TASKS_PER_WORKER = 8
_MAX_BATCH = 64


def _batches(todo: list[int], workers: int) -> list[list[int]]:
    """The points' indices in runs of equal length, one run per task: a single point each until
    there are more than _TASKS_PER_WORKER per worker."""
    size = max(1, min(_MAX_BATCH, len(todo) // (max(workers, 1) * _TASKS_PER_WORKER)))
    return [todo[start : start + size] for start in range(0, len(todo), size)]


def _workers(client: Any) -> int:
    """The worker threads a running scheduler has now (a guess for the batches: workers come and go)."""
    return max(1, int(sum(client.nthreads().values())))


def _run_batch(points: list[Point], out_dir: str, task: Task) -> list[Row]:
    """One task's points, run one after the other on a worker."""
    return [task(point, out_dir) for point in points]


def _rows_of(future: Any, result: Any, points: list[Point]) -> list[Row]:
    """The rows a finished task returned, or a failed row for each point of a task the cluster
    could not run."""
    from distributed.scheduler import KilledWorker

    if future.status == "finished":
        rows: list[Row] = result
        return rows
    error = result[1] if future.status == "error" else RuntimeError(f"the task was {future.status} (a lost scheduler?)")
    status = "worker-died" if isinstance(error, KilledWorker) else "failed"
    return [parameters(point) | failure(error, status) for point in points]
