"""What a sweep makes: one data set per (method, K, seed) of a plan, each point small and
picklable, named in file names and CSV rows by its parameters alone."""

from __future__ import annotations

from dataclasses import dataclass

from ..generation import Generation
from ..sources import parse

Row = dict[str, int | float | str | bool | None]

# More data sets than this make a cluster's bookkeeping (a task each) the cost: split the sweep.
MAX_DATA_SETS = 100_000


@dataclass(frozen=True)
class Work:
    """What is done with each generated data set besides writing it."""

    check: bool = False
    solve: bool = False
    bundle: bool = True
    time_limit: float | None = None
    certificates: bool = False
    coupling: bool = False


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
    certificates: bool = False
    coupling: bool = False
    congestion: float = 0.0

    @property
    def size(self) -> int:
        return len(self.methods) * len(self.commodities) * len(self.seeds) * len(self._tightness)

    @property
    def _tightness(self) -> tuple[float, ...]:
        return self.tightness if self.feasible else (0.0,)

    def points(self) -> list[Point]:
        work = Work(self.check, self.solve, self.bundle, self.time_limit, self.feasible and self.certificates,
                    self.coupling)
        return [
            Point(self.instance, Generation(k, method, seed, self.caps, self.costs, self.concentration, self.close,
                                            self.feasible, t, self.congestion if self.feasible else 0.0), work)
            for method in self.methods
            for k in self.commodities
            for seed in self.seeds
            for t in self._tightness
        ]


def file_name(point: Point) -> str:
    g = point.generation
    hot = f"-c{g.congestion!r}" if g.congestion else ""
    feasible = f"-feasible-t{g.tightness!r}{hot}" if g.feasible else ""
    return f"{parse(point.instance).stem()}-{g.method}-k{g.commodities}-s{g.seed}{feasible}.mcf"


def parameters(point: Point) -> Row:
    """The columns that name a data set, known before any work."""
    g = point.generation
    row: Row = {
        "instance": parse(point.instance).name,
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
        row["congestion"] = g.congestion
    return row


def _pair(pair: tuple[float, float] | None) -> str | None:
    return None if pair is None else f"{pair[0]!r} {pair[1]!r}"


