"""Many data sets from one network: every (method, K, seed) generated on a dask.distributed cluster,
written to its own file, optionally checked and solved, and summed up in one CSV row each.

The module's objects cannot be pickled, so only paths, parameters and plain numbers travel between
the client and the workers; each worker loads the network itself (once per worker process).
"""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import functools
import os
import sys
import time
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import pelmora

from .arrays import DataSetArrays, arrays_from_data
from .generation import Generation
from .summary import commodity_volumes, heterogeneity

Row = dict[str, int | float | str | bool | None]

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

    def points(self) -> list[Generation]:
        return [
            Generation(k, method, seed, self.caps, self.costs, self.concentration, self.close)
            for method in self.methods
            for k in self.commodities
            for seed in self.seeds
        ]


def file_name(instance: str, point: Generation) -> str:
    return f"{Path(instance).stem}-{point.method}-k{point.commodities}-s{point.seed}.mcf"


@functools.lru_cache(maxsize=1)
def _network(path: str, stamp: tuple[int, int]) -> pelmora.NetworkInstance:
    # Keyed by (mtime, size) as well, so a worker that outlives one sweep never serves a stale network.
    return pelmora.load_min_instance(path)


def network(path: str) -> pelmora.NetworkInstance:
    status = os.stat(path)
    return _network(path, (status.st_mtime_ns, status.st_size))


def run_point(plan: Plan, out_dir: str, point: Generation) -> Row:
    """One data set of the sweep, run on a worker: generate, write, measure; plain values only.
    ``generate_s`` is generating and writing the file; ``solve_s`` the solver's own time."""
    instance = network(plan.instance)
    started = time.perf_counter()
    data = point.run(instance)
    name = file_name(plan.instance, point)
    path = Path(out_dir) / name
    pelmora.save_multi_commodity_instance(str(path), instance, data)
    written = time.perf_counter()
    arrays = arrays_from_data(instance, data)
    supply, closed = commodity_volumes(arrays)
    row: Row = {
        "instance": Path(plan.instance).name,
        "method": point.method,
        "commodities": point.commodities,
        "seed": point.seed,
        "caps": _pair(point.caps),
        "costs": _pair(point.costs),
        "concentration": point.concentration,
        "close": point.close,
        "file": name,
        "heterogeneity": heterogeneity(arrays),
        "min_commodity_supply": min(supply),
        "max_commodity_supply": max(supply),
        "closed_pairs": sum(closed),
        "generate_s": written - started,
        "worker_pid": os.getpid(),
    }
    if plan.check or plan.solve:
        row |= _check_columns(arrays)
    if plan.solve:
        row |= _solve_columns(arrays, plan)
    return row


def _pair(pair: tuple[float, float] | None) -> str | None:
    return None if pair is None else f"{pair[0]!r} {pair[1]!r}"


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


def _solve_columns(arrays: DataSetArrays, plan: Plan) -> Row:
    from .lp import solve

    result = solve(arrays, bundle=plan.bundle, time_limit=plan.time_limit)
    return {"status": result.status, "objective": result.objective, "solve_s": result.seconds}


def columns(plan: Plan) -> list[str]:
    """The CSV's columns, in order (the rows of a plan all have the same keys)."""
    names = ["instance", "method", "commodities", "seed", "caps", "costs", "concentration", "close", "file",
             "heterogeneity", "min_commodity_supply", "max_commodity_supply", "closed_pairs", "generate_s"]
    if plan.check or plan.solve:
        names += ["alone_feasible", "blocked_commodities", "unserved_nodes", "shortfall"]
    if plan.solve:
        names += ["status", "objective", "solve_s"]
    return [*names, "worker_pid"]


def write_csv(path: Path, plan: Plan, rows: Iterable[Row]) -> None:
    with path.open("w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=columns(plan), lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)


def progress[T](items: Iterable[T], total: int, stream: IO[str]) -> Iterator[T]:
    """Passes the items through, drawing a one-line bar on `stream` if it is a terminal."""
    draw = stream.isatty()
    width = 30
    for done, item in enumerate(items, 1):
        if draw:
            filled = width * done // max(total, 1)
            stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
            stream.flush()
        yield item
    if draw:
        stream.write("\n")
        stream.flush()


@contextlib.contextmanager
def connect(scheduler: str | None, workers: int) -> Iterator[Any]:
    """A client of the given scheduler, or of a LocalCluster of worker processes closed afterwards."""
    from distributed import Client, LocalCluster

    # distributed's constructors carry no annotations, hence the ignores under mypy --strict.
    if scheduler:
        with Client(scheduler) as client:  # type: ignore[no-untyped-call]
            yield client
        return
    with (
        LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        ) as cluster,
        Client(cluster) as client,  # type: ignore[no-untyped-call]
    ):
        yield client


def run_sweep(
    plan: Plan,
    out_dir: str | os.PathLike[str],
    *,
    csv_name: str = "sweep.csv",
    workers: int = 2,
    scheduler: str | None = None,
    bar: IO[str] | None = None,
) -> tuple[Path, list[Row]]:
    """Runs the plan on a cluster; writes the data sets and the CSV (rows in plan order) into
    out_dir and returns the CSV's path and the rows. Paths are made absolute: with `scheduler`,
    every worker must see the same files (a shared file system)."""
    from distributed import as_completed

    out = Path(out_dir).resolve()
    out.mkdir(parents=True, exist_ok=True)
    plan = dataclasses.replace(plan, instance=str(Path(plan.instance).resolve()))
    points = plan.points()
    with connect(scheduler, workers) as client:
        futures = [client.submit(run_point, plan, str(out), p, pure=False) for p in points]
        for _ in progress(as_completed(futures), len(futures), bar or sys.stderr):  # type: ignore[no-untyped-call]
            pass
        rows: list[Row] = client.gather(futures)
    path = out / csv_name
    write_csv(path, plan, rows)
    return path, rows
