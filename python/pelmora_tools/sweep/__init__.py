"""Many data sets from one network: every (method, K, seed) generated on a dask.distributed cluster,
written to its own file, optionally checked and solved, and summed up in one CSV row each.

The module's objects cannot be pickled, so only the network's text (a path, or a generator's
parameters: pelmora_tools.sources), the parameters and plain numbers travel between the client and
the workers; each worker loads or generates the network itself, once per worker process. Each
finished data set appends its row to the CSV at once, so a sweep that stops early (Ctrl-C, a lost
cluster) keeps every row it finished; a data set that fails is a row too, with its status and a
one-line error.

- ``plan``: the points of a sweep and the names they are given;
- ``worker``: one data set, made and measured on a worker;
- ``table``: the CSV's columns and rows;
- ``run``: the cluster, the tasks and the rows as they finish.
"""

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .plan import MAX_DATA_SETS, Plan, Point, Row, Work, file_name, parameters
    from .run import Interrupted, Outcome, Stopped, Task, batches, progress, run_batch, run_sweep
    from .table import CsvRows, columns, csv_path
    from .worker import FAILED, failure, network, run_point

# Each name's submodule, loaded on first use: the worker side brings NumPy and the run brings dask,
# which a command's --help or a plan's checks must not wait for.
_HOMES = {
    **dict.fromkeys(("MAX_DATA_SETS", "Plan", "Point", "Row", "Work", "file_name", "parameters"), "plan"),
    **dict.fromkeys(("Interrupted", "Outcome", "Stopped", "Task", "batches", "progress", "run_batch", "run_sweep"),
                    "run"),
    **dict.fromkeys(("CsvRows", "columns", "csv_path"), "table"),
    **dict.fromkeys(("FAILED", "failure", "network", "run_point"), "worker"),
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{home}", __name__), name)
    globals()[name] = value
    return value


__all__ = [
    "FAILED",
    "MAX_DATA_SETS",
    "CsvRows",
    "Interrupted",
    "Outcome",
    "Plan",
    "Point",
    "Row",
    "Stopped",
    "Task",
    "Work",
    "batches",
    "columns",
    "csv_path",
    "failure",
    "file_name",
    "network",
    "parameters",
    "progress",
    "run_batch",
    "run_point",
    "run_sweep",
]
