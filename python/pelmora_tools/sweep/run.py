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

# A task's share of work, in (arc, commodity) cells weighted by what is done with them: tasks of
# small data sets are batched up to it so that the cluster's cost per task (milliseconds) is spread
# over many data sets. A solve or a check costs far more per cell than generating and writing.
_TASK_CELLS = 2_000_000
_WEIGHT = {"generate": 1, "check": 10, "solve": 100}
# Batches are kept small enough that every worker gets several, so the work still spreads.
_BATCHES_PER_WORKER = 4


def run_batch(points: Sequence[Point], out_dir: str, task: Task = run_point) -> list[Row]:
    """Several data sets in one task, one row each, in order; what one of them raises is its own
    row's failure, as it would be in a task of its own."""
    rows = []
    for point in points:
        try:
            rows.append(task(point, out_dir))
        except Exception as error:
            rows.append(parameters(point) | failure(error))
    return rows


def batches(points: Sequence[tuple[int, Point]], arcs: dict[str, int], workers: int) -> list[list[tuple[int, Point]]]:
    """The points grouped into tasks in plan order: consecutive small data sets together, each
    group at most ``_TASK_CELLS`` of weighted work; a point of unknown size travels alone."""
    cap = max(1, len(points) // max(1, workers * _BATCHES_PER_WORKER))
    groups: list[list[tuple[int, Point]]] = []
    weight = 0
    for item in points:
        point = item[1]
        size = arcs.get(point.instance)
        work = "solve" if point.work.solve else "check" if point.work.check else "generate"
        cells = _TASK_CELLS if size is None else max(1, size) * point.generation.commodities * _WEIGHT[work]
        if groups and len(groups[-1]) < cap and weight + cells <= _TASK_CELLS:
            groups[-1].append(item)
            weight += cells
        else:
            groups.append([item])
            weight = cells
    return groups


def run_sweep(
    plan: Plan | Sequence[Plan],
    out_dir: str | os.PathLike[str],
    *,
    csv_name: str = "sweep.csv",
    overwrite: bool = False,
    resume: bool = False,
    workers: int = 2,
    scheduler: str | None = None,
    timeout: float = 60.0,
    bar: IO[str] | None = None,
    task: Task = run_point,
    arcs: dict[str, int] | None = None,
    on_row: Callable[[Row], object] | None = None,
    start_method: str | None = None,
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
    arcs : dict, optional
        The number of arcs of each plan's network, by its ``instance`` text: data sets known to be
        small are then run several to a task. Without it every data set is a task of its own.
    on_row : callable, optional
        Called with each row once it is in the CSV, in this process (progress of one's own; an
        exception it raises ends the sweep as Ctrl-C does).
    start_method : str, optional
        How a LocalCluster starts its worker processes: multiprocessing's ``"spawn"`` (distributed's
        default), ``"forkserver"`` or ``"fork"``. A fork starts a worker in a fraction of a spawn's
        time, but copies whatever lock another thread of this process holds at that moment: a
        LocalCluster's own event-loop thread runs while it forks, and a forked worker was seen to
        wait for ever on such a lock. The ``pelmora`` command spawns.

    Returns
    -------
    Outcome
        The CSV's path and its rows in plan order; ``failed`` counts rows of data sets that failed;
        ``resumed`` the data sets that already had a row.

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
    if overwrite and resume:
        raise ValueError("overwrite and resume exclude each other")
    size = sum(p.size for p in plans)
    if size > MAX_DATA_SETS:
        raise ValueError(f"{size} data sets: a sweep makes at most {MAX_DATA_SETS}; split it into several")
    out = Path(out_dir).resolve()
    path = csv_path(out, csv_name)
    resume = resume and path.exists()
    if path.exists() and not (overwrite or resume):
        raise FileExistsError(f"{path} exists; pass overwrite=True to replace it or resume=True to continue it")
    began = time.perf_counter()
    fields = columns(plans[0])
    sizes = {parse(p.instance).shared(): n for p in plans if (n := (arcs or {}).get(p.instance)) is not None}
    points = [dataclasses.replace(p, instance=parse(p.instance).shared()) for each in plans for p in each.points()]
    outcome = Outcome(path, len(points))
    todo = list(range(len(points)))
    if resume:
        todo, outcome.kept = _not_done(points, whole_rows(path, fields), fields)
    with connect(scheduler, workers, timeout, start_method) as client:
        out.mkdir(parents=True, exist_ok=True)
        table = CsvRows(path, fields, overwrite=overwrite, resume=resume)
        try:
            rounds = [batches([(i, points[i]) for i in todo], sizes, workers)]
            shown = progress(_rows(client, rounds, str(out), task, timeout), len(todo), bar or sys.stderr,
                             lambda done: done[1].get("status") in FAILED)
            for index, row in shown:
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


def _rows(client: Any, rounds: list[list[list[tuple[int, Point]]]], out: str, task: Task,
          timeout: float) -> Iterator[tuple[int, Row]]:
    """(plan index, row) for every point, as their tasks finish. A batch whose worker died is run
    again one data set a task, so that only the data set that kills its worker is reported so."""
    while rounds:
        groups = rounds.pop()
        futures = client.map(run_batch, [[p for _, p in g] for g in groups], [out] * len(groups),
                             [task] * len(groups), pure=False)
        by_key = {future.key: group for future, group in zip(futures, groups)}
        alone: list[list[tuple[int, Point]]] = []
        for future, result in finished(client, futures, timeout):
            group = by_key[future.key]
            if future.status == "finished":
                yield from zip((index for index, _ in group), result)
            elif len(group) > 1 and _worker_died(future, result):
                alone += [[item] for item in group]
            else:
                for index, point in group:
                    yield index, _failed_row(future, result, point)
        if alone:
            rounds.append(alone)


def _worker_died(future: Any, result: Any) -> bool:
    from distributed.scheduler import KilledWorker

    return future.status == "error" and isinstance(result[1], KilledWorker)


def _failed_row(future: Any, result: Any, point: Point) -> Row:
    """The row of a data set whose task the cluster could not run."""
    error = result[1] if future.status == "error" else RuntimeError(f"the task was {future.status} (a lost scheduler?)")
    status = "worker-died" if _worker_died(future, result) else "failed"
    return parameters(point) | failure(error, status)
