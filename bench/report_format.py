"""Formatting shared by the benchmark report's sections: times, ratios, Markdown tables, and the
targets table every section adds its measured value to."""

from __future__ import annotations

from typing import Any

# A benchmark's figures as its --json file holds them.
Figures = dict[str, Any]


def pyplot() -> Any | None:
    """matplotlib's pyplot on the Agg backend, or None (said once) when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("plot: skipped, matplotlib is not installed")
        return None
    return plt


def sec(t: float | None) -> str:
    if t is None:
        return "-"
    if t >= 1:
        return f"{t:.2f} s"
    if t >= 1e-3:
        return f"{t * 1e3:.1f} ms"
    return f"{t * 1e6:.0f} µs"


def times(r: float) -> str:
    return f"{r:.2f}×" if r < 10 else f"{r:.0f}×"


def mib(b: float) -> str:
    return f"{b / 2**20:.0f} MiB"


def relation(ours: float, peer: float) -> str:
    """pelmora's time against a peer's, in words."""
    if ours <= peer:
        return f"{times(peer / ours)} faster"
    return f"{times(ours / peer)} the peer's time"


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines) + "\n"


class Targets:
    """Every target with its measured value, for the summary table."""

    def __init__(self) -> None:
        self.rows: list[list[str]] = []

    def add(self, workload: str, measured: str, target: str, met: bool | None) -> None:
        self.rows.append([workload, measured, target, "—" if met is None else "**yes**" if met else "**no**", ""])

    def note(self, text: str) -> None:
        """Context for the last row, computed from figures of the same run."""
        self.rows[-1][4] = text

    def within(self, workload: str, ours: float, peer: float, peer_name: str, bound: float) -> None:
        """pelmora's time at most `bound` times the peer's."""
        ratio = ours / peer
        self.add(workload, f"{sec(ours)} = {ratio:.2f}× {peer_name} ({sec(peer)})", f"≤ {bound:g}× {peer_name}",
                 ratio <= bound)

    def faster(self, workload: str, ours: float, peer: float, peer_name: str, bound: float) -> None:
        """pelmora at least `bound` times faster than the peer."""
        ratio = peer / ours
        self.add(workload, f"{sec(ours)}, {peer_name} {sec(peer)}: {ratio:.1f}× faster",
                 f"≥ {bound:g}× faster than {peer_name}", ratio >= bound)
