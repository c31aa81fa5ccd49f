"""The sweep's CSV: its columns and a file that grows one whole row at a time."""

from __future__ import annotations

import csv
import io
import os
from pathlib import Path

from .plan import Plan, Row

# With --coupling: the LP solved again without the bundle rows (pelmora_tools.coupling).
COUPLING_COLUMNS = ["independent_objective", "coupling_gap", "binding_rows", "priced_rows", "iterations",
                    "independent_iterations"]


def columns(plan: Plan) -> list[str]:
    """The CSV's columns, in order. A failed row leaves empty what its data set did not reach."""
    names = ["instance", "method", "commodities", "seed", "caps", "costs", "concentration", "close", "file",
             "heterogeneity", "min_commodity_supply", "max_commodity_supply", "closed_pairs", "generate_s"]
    if plan.check or plan.solve:
        names += ["alone_feasible", "blocked_commodities", "unserved_nodes", "shortfall"]
    if plan.solve:
        names += ["objective", "solve_s"]
    if plan.coupling:
        names += COUPLING_COLUMNS
    if plan.feasible:
        names[names.index("close") + 1 : names.index("close") + 1] = ["tightness"]
        names += ["certificate_cost", *(["certificate_file"] if plan.certificates else []),
                  *(["certificate_gap"] if plan.solve else [])]
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


# The columns that name a data set: a row with the same values is the same data set.
KEY_COLUMNS = ("instance", "method", "commodities", "seed", "caps", "costs", "concentration", "close", "tightness")


def row_key(row: Row) -> tuple[str, ...]:
    """A data set's identity as its CSV row spells it (None is an empty cell)."""
    return tuple("" if (value := row.get(name)) is None else str(value) for name in KEY_COLUMNS if name in row)


def done_keys(path: Path, fields: list[str]) -> set[tuple[str, ...]]:
    """The data sets an existing CSV holds a whole row of. A last line without its newline was cut
    short (rows are written whole, each in one write): it is removed, so that its data set is made
    again. A CSV with other columns is refused untouched."""
    with open(path, "rb+") as f:
        data = f.read()
        lines = data.split(b"\n")
        header = next(csv.reader([lines[0].decode()]), [])
        if header != fields or len(lines) < 2:
            raise ValueError(f"{path} has other columns than this sweep writes (another grid or version?)")
        if lines[-1]:
            f.truncate(len(data) - len(lines[-1]))
    keys = [name for name in KEY_COLUMNS if name in fields]
    return {tuple(row[name] for name in keys) for row in csv.DictReader(line.decode() for line in lines[:-1])}


class CsvRows:
    """A CSV that grows one whole row at a time: each row goes to the system in one write, so a
    sweep stopped at any point leaves complete lines. An existing file is replaced only if asked,
    or appended to (without a second header)."""

    def __init__(self, path: Path, fields: list[str], *, overwrite: bool = False, append: bool = False) -> None:
        self.fields = fields
        mode = os.O_TRUNC if overwrite else 0 if append else os.O_EXCL
        path.parent.mkdir(parents=True, exist_ok=True)
        self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | mode | os.O_CLOEXEC, 0o666)
        if not append:
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


