"""A sweep on a dask.distributed cluster: points mapped to tasks, rows appended as they finish."""

from __future__ import annotations

import dataclasses
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

from .._cluster import Lost, connect, finished
from ..sources import parse
from .plan import MAX_DATA_SETS, Plan, Point, Row, parameters
from .table import CsvRows, columns, csv_path
from .worker import FAILED, failure, run_point


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
    points = [dataclasses.replace(p, instance=parse(p.instance).shared()) for each in plans for p in each.points()]
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
