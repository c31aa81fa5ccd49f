"""One data set of a sweep, made on a worker: its network built or loaded once per worker process,
the data set generated, written, measured and, if asked, checked and solved; the row it returns
holds plain values only."""

from __future__ import annotations

import functools
import os
import time
from pathlib import Path

import pelmora

from ..arrays import DataSetArrays, arrays_from_data
from ..sources import parse
from ..summary import commodity_volumes, heterogeneity
from .plan import Point, Row, Work, file_name, parameters

# The statuses of rows whose data set did not finish; any other status is the work's own outcome.
FAILED = ("failed", "worker-died")
_ERROR_CHARS = 400


@functools.lru_cache(maxsize=1)
def _network(path: str, stamp: tuple[int, int]) -> pelmora.NetworkInstance:
    # Keyed by (mtime, size) as well, so a worker that outlives one sweep never serves a stale network.
    return pelmora.load_min_instance(path)


@functools.lru_cache(maxsize=1)
def _generated(text: str) -> pelmora.NetworkInstance:
    network: pelmora.NetworkInstance = parse(text, "network").build()
    return network


def network(text: str) -> pelmora.NetworkInstance:
    """The network a point names, on the worker: a ".min" file's path, or a generator's parameters
    (pelmora_tools.sources)."""
    if parse(text, "network").generated:
        return _generated(text)
    status = os.stat(text)
    return _network(text, (status.st_mtime_ns, status.st_size))


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
        if point.work.certificates:
            row["certificate_file"] = certificate = str(Path(name).with_suffix(".npy"))
            made.save_certificate(Path(out_dir) / certificate)
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
    from ..check import check_feasibility

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
    if work.coupling:
        from ..coupling import coupling

        coupled = coupling(arrays, time_limit=work.time_limit)
        result = coupled.bundled
        row: Row = {
            "independent_objective": coupled.independent.objective, "coupling_gap": coupled.gap,
            "binding_rows": coupled.binding, "priced_rows": coupled.priced, "iterations": coupled.iterations_bundled,
            "independent_iterations": coupled.iterations_independent,
        }  # fmt: skip
    else:
        from ..lp import solve

        result = solve(arrays, bundle=work.bundle, time_limit=work.time_limit)
        row = {}
    return row | {"status": result.status, "objective": result.objective, "solve_s": result.seconds}


