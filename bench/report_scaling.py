"""The benchmark report's scaling section: the log-log plot of time against arcs, and each series'
fitted slope in words."""

from __future__ import annotations

import os
from pathlib import Path

from report_format import Figures, Targets, mib, pyplot, sec, table

SCALING_SERIES = [
    # (panel, key, label, pelmora's own)
    ("Reading a .min file", "load_min_instance", "load_min_instance", True),
    ("Reading a .min file", "cat", "cat", False),
    ("Reading a .min file", "lemon", "LEMON readDimacsMin", False),
    ("Reading a .min file", "glpk", "GLPK glp_read_mincost", False),
    ("Reading a .min file", "python_reader", "plain-Python reader", False),
    ("generate_multi_commodity_data (K = 10)", "generate", "generate_multi_commodity_data", True),
    ("generate_multi_commodity_data (K = 10)", "numpy_generate", "NumPy, same arithmetic", False),
    ("generate_multi_commodity_data (K = 10)", "numpy_bare_draws", "NumPy, bare draws", False),
    ("File round trip (K = 10, expanded)", "round_trip", "save + load (pelmora)", True),
    ("File round trip (K = 10, expanded)", "save", "save_multi_commodity_instance", True),
    ("File round trip (K = 10, expanded)", "load_multi_commodity_instance", "load_multi_commodity_instance", True),
    ("File round trip (K = 10, expanded)", "python_writer", "plain-Python writer", False),
    ("File round trip (K = 10, expanded)", "wc_l_mcf", "wc -l", False),
    ("File round trip (K = 10, expanded)", "cat_mcf", "cat", False),
]


def plot_scaling(f: Figures, png: Path) -> bool:
    plt = pyplot()
    if plt is None:
        return False
    panels = list(dict.fromkeys(p for p, *_ in SCALING_SERIES))
    fig, axes = plt.subplots(1, len(panels), figsize=(15, 4.6), sharey=True)
    for ax, panel in zip(axes, panels):
        for _, key, label, ours in (s for s in SCALING_SERIES if s[0] == panel):
            have = [r for r in f["rows"] if key in r]
            if not have:
                continue
            slope = f["slopes"].get(key)
            ax.loglog([r["arcs"] for r in have], [r[key] for r in have], marker="o" if ours else ".",
                      linestyle="-" if ours else "--", linewidth=2 if ours else 1, markersize=4,
                      label=label + (f" (slope {slope:.2f})" if slope is not None else ""))
        ax.set_title(panel, fontsize=10)
        ax.set_xlabel("arcs")
        ax.grid(True, which="both", linewidth=0.3)
        ax.legend(fontsize=7, loc="upper left")
    axes[0].set_ylabel("seconds (best of runs)")
    fig.tight_layout()
    fig.savefig(png, dpi=72)
    plt.close(fig)
    return True


def verdict(slope: float) -> str:
    if slope < 0.9:
        return "sublinear over this range (fixed costs still show)"
    if slope <= 1.12:
        return "linear (m log m would fit too: its local slope here is about 1.07)"
    if slope <= 1.2:
        return "slightly above linear"
    return "superlinear"


def section_scaling(f: Figures, png_name: str | None, targets: Targets) -> str:
    keys = ["load_min_instance", "cat", "lemon", "glpk", "python_reader", "generate", "numpy_generate",
            "numpy_bare_draws", "save", "load_multi_commodity_instance", "round_trip", "python_writer"]
    names = {"load_min_instance": "load_min_instance", "cat": "cat", "lemon": "LEMON", "glpk": "GLPK",
             "python_reader": "Python reader", "generate": "generate", "numpy_generate": "NumPy arith.",
             "numpy_bare_draws": "NumPy draws", "save": "save", "load_multi_commodity_instance": "load (K=10)",
             "round_trip": "round trip", "python_writer": "Python writer", "cat_mcf": "cat (K=10 file)",
             "wc_l_mcf": "wc -l (K=10 file)"}
    keys = [k for k in keys if any(k in r for r in f["rows"])]
    rows = [[f"{r['arcs']:,}"] + [sec(r.get(k)) for k in keys] for r in f["rows"]]
    text = (f"## Scaling with instance size\n\n`bench/bench_scaling.py`: NETGEN-like instances, nodes = arcs / 10; "
            f"generation with K = {f['k']}, both randomisations, {f['closed']:.0%} closed; the round trip saves "
            "that data set and loads it back. Best of "
            f"{f['repeat']} (peers at 10^6 arcs and more one fewer; the plain-Python reader once or twice; the "
            "plain-Python writer once, up to 10^6 arcs). `cat` and `wc -l` include starting their process, about "
            "1 ms, which is most of their time below 10^5 arcs.\n\n"
            + table(["arcs"] + [names[k] for k in keys], rows))
    if png_name:
        text += f"\n![scaling, log-log]({png_name})\n"
    slope_rows = [[names[k], f"{s:.2f}", verdict(s)] for k, s in f["slopes"].items()]
    first, last = f["slope_from_arcs"], f["rows"][-1]["arcs"]
    text += (f"\nFitted slopes of log(time) against log(arcs), least squares over {first:,}..{last:,} arcs (below "
             "that, fixed costs dominate the smallest sizes):\n\n" + table(["series", "slope", "reading"], slope_rows))
    for key in ("load_min_instance", "generate", "round_trip"):
        if key in f["slopes"]:
            s = f["slopes"][key]
            targets.add(f"Growth of {names[key]} with size", f"log-log slope {s:.2f}",
                        "linear (≈ 1; m log m ≈ 1.07)", s <= 1.12)
    memory = f.get("memory")
    if memory:
        m = memory["arcs"]
        text += (f"\nPeak resident memory (VmHWM of a fresh interpreter, reset between the steps; baseline after "
                 f"`import pelmora` {mib(memory['baseline'])}):\n\n"
                 + table(["step", "peak RSS of the process", "held afterwards", "time"], [
                     [f"`load_min_instance`, {m:,} arcs, {memory['nodes']:,} nodes", mib(memory["load_peak"]),
                      f"{mib(memory['instance_held'])} ({memory['instance_held'] / m:.1f} B/arc)", sec(memory["load_s"])],
                     [f"`generate_multi_commodity_data` on it, K = {memory['k']}", mib(memory["generate_peak"]),
                      f"{mib(memory['data_held'])} ({memory['data_held'] / (m * memory['k']):.1f} B/pair)",
                      sec(memory["generate_s"])]]))
        total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
        peak = max(memory["load_peak"], memory["generate_peak"])
        targets.add(f"Peak memory, {m:,} arcs: load, then generate K = {memory['k']}",
                    f"{mib(memory['load_peak'])}, {mib(memory['generate_peak'])}",
                    f"fits comfortably in {total / 2**30:.0f} GiB (≤ 25%)", peak <= total / 4)
    return text
