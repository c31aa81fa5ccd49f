"""The report's section on the feasible mode (bench/bench_feasible.py) and its plot of HiGHS's effort
against the tightness, saved under docs/."""

from __future__ import annotations

from pathlib import Path

from report_format import Figures, Targets, mib, pyplot, sec, table


def plot_tightness(f: Figures, png: Path) -> bool:
    """Simplex iterations and seconds of HiGHS against T, beside the module's data set of that size."""
    plt = pyplot()
    if plt is None:
        return False
    t = [e["tightness"] for e in f["effort"]]
    fig, (left, right) = plt.subplots(1, 2, figsize=(8, 3))
    for ax, key, label in ((left, "iterations", "simplex iterations"), (right, "seconds", "HiGHS seconds")):
        ax.plot(t, [e[key] for e in f["effort"]], marker="o", label="feasible mode")
        ax.axhline(f["module_effort"][key], linestyle="--", color="grey", label="module's data set")
        ax.set_xlabel("tightness T")
        ax.set_title(label, fontsize=10)
        ax.grid(True, linewidth=0.3)
    left.legend(fontsize=7)
    fig.suptitle(f"{f['solve_arcs']:,} arcs, K = {f['k']}, costs randomised", fontsize=9)
    fig.tight_layout()
    fig.savefig(png, dpi=60)
    plt.close(fig)
    return True


def section_feasible(f: Figures, targets: Targets) -> str:
    size = f"{f['arcs']:,} arcs, K = {f['k']}"
    peer = f["solve_s"] + f["generate_s"]
    targets.within(f"`generate_feasible`, {size}", f["feasible_s"], peer,
                   "OR-Tools' min-cost flow + `generate_multi_commodity_data`", 2)
    held = f["held_bytes"]
    targets.add(f"`generate_feasible` peak memory, {size}", f"{mib(f['peak_bytes'])} = "
                f"{f['peak_bytes'] / held:.2f}× the data set's arrays and certificate ({mib(held)})",
                "≤ 2× those arrays", f["peak_bytes"] <= 2 * held)
    steps = [[name, sec(f[key])] for name, key in [
        ("`generate_multi_commodity_data` (the module's own generation)", "generate_s"),
        ("OR-Tools `SimpleMinCostFlow`, one solve in place", "solve_s"),
        ("residual potentials of that flow (native)", "potentials_s"),
        ("the unique flow: two solves in a child process", "flow_s"),
        ("decomposition, split, capacities, closing, tightness (native)", "native_s"),
        ("`generate_feasible`, whole", "feasible_s"),
        ("peer: scipy `maximum_flow` (Dinic) of the instance, blind to costs", "max_flow_s"),
        ("peer: HiGHS, the LP of the instance (K = 1)", "highs_s")]]
    m = f["module_effort"]
    effort = [["module's data set", m["status"], f"{m['iterations']:,}", sec(m["seconds"]), "-", "-", "-"]] + [
        [f"feasible, T = {e['tightness']:g}", e["status"], f"{e['iterations']:,}", sec(e["seconds"]),
         str(e["binding"]), f"{e['certificate']:,}", "-" if e["objective"] is None else f"{e['objective']:,.0f}"]
        for e in f["effort"]]
    het = [[r["method"], f"{r['concentration']:g}", str(r["k"]), f"{r['node_split']:.3f}", f"{r['feasible']:.3f}"]
           for r in f["heterogeneity"]]
    return (f"## Feasible mode\n\n`bench/bench_feasible.py`: {size}, spread, closing 0.1, tightness 0.5.\n\n"
            + table(["step", "time"], steps)
            + f"\nHiGHS on {f['solve_arcs']:,} arcs, K = {f['k']}, costs randomised (spread, seed 7):\n\n"
            + table(["data set", "status", "simplex iterations", "time", "bundle rows binding", "certificate",
                     "optimum"], effort)
            + "\nHeterogeneity (mean over seeds) of the node split and of the feasible mode, "
              "own-net-5000n-12500a:\n\n"
            + table(["method", "concentration", "K", "node split", "feasible mode"], het))


def section_check(f: Figures, targets: Targets) -> str:
    """``info --check --certificate`` at many commodities (bench/bench_check.py)."""
    size = f"K = {f['k']}, {f['file_bytes'] / 1e6:.0f} MB file"
    arrays = f["arrays_bytes"]
    targets.add(f"`info --check --certificate` peak memory, {size}",
                f"{mib(f['check_peak'])} = {f['check_peak'] / arrays:.2f}× the data set's arrays ({mib(arrays)})",
                "≤ 2× those arrays", f["check_peak"] <= 2 * arrays)
    rows = [["`pelmora info` (peer: read and describe)", sec(f["read_s"]), mib(f["read_peak"])],
            ["`pelmora info --check --certificate`", sec(f["check_s"]), mib(f["check_peak"])]]
    return (f"## Checking a data set of many commodities\n\n`bench/bench_check.py`: "
            f"own-net-parallel-300n-9000a.min, {size}, half the pairs closed, feasible mode; arrays "
            f"{mib(arrays)}, with the certificate {mib(f['held_bytes'])}. The check takes "
            f"{f['check_s'] / f['read_s']:.2f}× the peer's time.\n\n" + table(["command", "time", "peak memory"], rows))
