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
        names[names.index("close") + 1 : names.index("close") + 1] = ["tightness", "congestion"]
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


def as_text(row: Row, fields: list[str]) -> dict[str, str]:
    """A row as the CSV gives it back: every value as the text its cell holds."""
    return next(csv.DictReader(io.StringIO(_line(row, fields)), fieldnames=fields))


def _line(row: Row, fields: list[str]) -> str:
    text = io.StringIO()
    csv.DictWriter(text, fieldnames=fields, lineterminator="\n").writerow(row)
    return text.getvalue()


def whole_rows(path: Path, fields: list[str]) -> list[dict[str, str]]:
    """The rows of an existing CSV, to resume the sweep that wrote it: every row written whole. A
    last line without its line feed (a sweep stopped while writing it) is cut off the file, to be
    done again. A CSV whose columns are not `fields` (another grid, another version) raises
    ValueError and is left untouched."""
    data = path.read_bytes()
    header = data[: data.find(b"\n") + 1]
    try:
        found = next(csv.reader(io.StringIO(header.decode())), None)
    except (UnicodeDecodeError, csv.Error):
        found = None
    if found != fields:
        raise ValueError(f"{path}: its columns are not this sweep's (another grid or another version): "
                         "resume it with the arguments that wrote it, or write another CSV")
    whole = data.rfind(b"\n") + 1
    if whole < len(data):
        os.truncate(path, whole)
    return list(csv.DictReader(io.StringIO(data[len(header) : whole].decode()), fieldnames=fields))


class CsvRows:
    """A CSV that grows one whole row at a time: each row goes to the system in one write, so a
    sweep stopped at any point leaves complete lines. An existing file is replaced only if asked,
    or appended to (``resume``, after ``whole_rows`` checked it)."""

    def __init__(self, path: Path, fields: list[str], *, overwrite: bool = False, resume: bool = False) -> None:
        self.fields = fields
        start = 0 if resume else os.O_TRUNC if overwrite else os.O_EXCL
        path.parent.mkdir(parents=True, exist_ok=True)
        self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | start | os.O_CLOEXEC, 0o666)
        if not resume:
            self.append(dict(zip(fields, fields)))

    def append(self, row: Row) -> None:
        line = memoryview(_line(row, self.fields).encode())
        while line:
            line = line[os.write(self._fd, line):]

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


