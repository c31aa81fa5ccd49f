#!/usr/bin/env python3
"""Every benchmark of bench/ in one run, one report: BENCHMARKS.md (machine, versions, one table per
workload with absolute times and the ratio against each peer measured in this run, which targets
are met) and a log-log scaling plot (bench/scaling.png).

    python bench/run_all.py [--quick] [--out DIR]

The full run writes BENCHMARKS.md at the repository root and the plot into bench/. --quick (small
sizes, a few seconds per bench, nothing installed with apt-get) only checks that the benchmarks still
run: it writes its report into bench/out/ unless --out says otherwise. Nothing is asserted; a
missed target is reported, not raised.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = HERE / "out"
# A benchmark's figures as its --json file holds them.
Figures = dict[str, Any]

# (name, script, extra arguments of the full run)
BENCHES: list[tuple[str, str, list[str]]] = [
    ("rng", "bench_rng.py", []),
    ("load", "bench_load.py", []),
    ("views", "bench_views.py", []),
    ("generate", "bench_generate.py", []),
    ("splits", "bench_splits.py", []),
    ("balance", "bench_balance.py", []),
    ("mcf", "bench_mcf.py", []),
    ("hostile", "bench_hostile.py", []),
    ("tools", "bench_tools.py", []),
    ("scaling", "bench_scaling.py", []),
    ("threads", "bench_threads.py", []),
]


# ---- running ----------------------------------------------------------------------------------


def run_bench(script: str, args: list[str]) -> tuple[Figures | None, str, float, float]:
    """Runs one bench with --json; echoes and returns its output. (figures, output, seconds, load)."""
    with tempfile.TemporaryDirectory() as tmp:
        target = Path(tmp) / "figures.json"
        argv = [sys.executable, str(HERE / script), *args, "--json", str(target)]
        print(f"\n=== {script} {' '.join(args)}", flush=True)
        load = os.getloadavg()[0]
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=ROOT)
        lines = []
        assert proc.stdout is not None
        for line in proc.stdout:
            print(line, end="", flush=True)
            lines.append(line)
        code = proc.wait()
        seconds = time.perf_counter() - start
        if code != 0:
            lines.append(f"(exit status {code})\n")
            print(f"{script} failed with exit status {code}", flush=True)
        figures = json.loads(target.read_text()) if code == 0 and target.exists() else None
        return figures, "".join(lines), seconds, load


def command_output(argv: list[str]) -> str:
    try:
        return subprocess.run(argv, capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return ""


def machine() -> Figures:
    cpuinfo = Path("/proc/cpuinfo").read_text() if Path("/proc/cpuinfo").exists() else ""
    model = re.search(r"^model name\s*:\s*(.*)$", cpuinfo, re.M)
    flag_line = re.search(r"^flags\s*:\s*(.*)$", cpuinfo, re.M)
    flags = set(flag_line.group(1).split()) if flag_line else set()
    meminfo = Path("/proc/meminfo").read_text() if Path("/proc/meminfo").exists() else ""
    mem = re.search(r"^MemTotal:\s*(\d+) kB", meminfo, re.M)
    compiler = "unknown"
    cache = ROOT / "build" / Path(sys.prefix).name / "CMakeCache.txt"
    found = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", cache.read_text(), re.M) if cache.exists() else None
    for candidate in ([found.group(1)] if found else []) + ["c++"]:
        text = command_output([candidate, "--version"]).splitlines()
        if text:
            compiler = text[0]
            break
    try:
        import numpy

        numpy_version = numpy.__version__
    except ImportError:
        numpy_version = "not installed"
    commit = command_output(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"]).strip() or "unknown"
    if command_output(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no", "src"]).strip():
        commit += " (src/ modified)"
    return {
        "cpu": model.group(1).strip() if model else platform.processor() or "unknown",
        "vector": ", ".join(f for f in ("sse4_2", "avx2", "avx512f", "avx512vl") if f in flags) or "-",
        "cores": os.cpu_count(),
        "memory_gib": int(mem.group(1)) / 2**20 if mem else None,
        "kernel": platform.release(),
        "python": sys.version.split()[0] + f" ({platform.python_implementation()}, {sys.executable})",
        "compiler": compiler,
        "numpy": numpy_version,
        "commit": commit,
        "date": datetime.now(UTC).strftime("%Y-%m-%d %H:%M UTC"),
    }


# ---- formatting -------------------------------------------------------------------------------


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


# ---- sections ---------------------------------------------------------------------------------


def section_rng(f: Figures, targets: Targets) -> str:
    rates = f["gb_per_s"]
    rows = [[name, f"{rate:.2f} GB/s"] for name, rate in rates.items()]
    main = rates.get("StdRng::next_u64")
    if main is not None:
        targets.add("Random generator (StdRng::next_u64, one core)", f"{main:.2f} GB/s", "≥ 1 GB/s", main >= 1)
    return (f"## Random generator\n\n`bench/bench_rng.py`: {f['megabytes']} MiB of output per line, one core; "
            "the module's ChaCha12 stream compiled as CMake compiles it. `StdRng::next_u64` is what every draw "
            "goes through; the refill lines are the bare block function.\n\n" + table(["stream", "rate"], rows))


def floor_note(floor: Figures | None, result_bytes: int, peer_s: float, peer: str, work: str) -> str:
    """What reading the file through the 8 KiB buffer and faulting in the result cost before any
    parsing (bench/read_floor.cpp), against the 5× budget."""
    if not floor:
        return ""
    before = floor["read_s"] + floor["fault_s"]
    return (f"; before parsing a token, reading the file through the 8 KiB buffer and finding its lines takes "
            f"{sec(floor['read_s'])} and faulting in the {mib(result_bytes)} of results {sec(floor['fault_s'])}: "
            f"{before / peer_s:.1f}× {peer} together, leaving {sec(max(0.0, 5 * peer_s - before))} to {work}")


def section_load(f: Figures, scaling: Figures | None, targets: Targets) -> str:
    m, ours = f["arcs"], f["load_s"]
    peers = [("`cat file > /dev/null`", f["cat_s"]), ("LEMON `readDimacsMin`", f.get("lemon_s"))]
    row = next((r for r in scaling["rows"] if r["arcs"] == m), None) if scaling else None
    glpk_note = ("not installed" if scaling and not scaling["glpk"] else
                 "the scaling sweep has no instance of this size" if not row else "")
    peers.append(("GLPK `glp_read_mincost` (scaling sweep, same file)", row.get("glpk") if row else None))
    peers.append(("plain-Python reader (same lists and dicts, GC off)", f["python_s"]))
    rows = [["`load_min_instance`", sec(ours), "—"]]
    for name, t in peers:
        rows.append([name, sec(t), relation(ours, t) if t else "skipped: " + (glpk_note if "GLPK" in name
                                                                               else "not installed")])
    targets.within(f"`load_min_instance`, {m:,} arcs", ours, f["cat_s"], "`cat`", 5)
    targets.note(f"`cat > /dev/null` only copies the file out of the page cache ({f['file_bytes'] / f['cat_s'] / 1e9:.1f} "
                 "GB/s, process start included; writing to /dev/null costs nothing): 5× `cat` means reading, "
                 f"parsing and indexing at {f['file_bytes'] / (5 * f['cat_s']) / 1e9:.2f} GB/s"
                 + floor_note(f.get("floor"), f["held"], f["cat_s"], "`cat`", "parse 5 integers a line, number the "
                              "nodes and sort the arcs by node pair"))
    if f.get("lemon_s"):
        targets.faster(f"`load_min_instance`, {m:,} arcs", ours, f["lemon_s"], "LEMON", 3)
    else:
        targets.add(f"`load_min_instance`, {m:,} arcs", "LEMON not installed", "≥ 3× faster than LEMON", None)
    targets.faster(f"`load_min_instance`, {m:,} arcs", ours, f["python_s"], "plain Python", 15)
    bound = 80 * m + 40 * f["nodes"]
    targets.add("Memory held by a loaded instance", f"{f['held'] / m:.1f} B/arc ({mib(f['held'])})",
                f"≤ 80 B/arc + 40 B/node ({mib(bound)})", f["held"] <= bound)
    targets.add("Peak memory while loading", f"{mib(f['peak'])} = {f['peak'] / f['held']:.2f}× held",
                "≤ 2× held", f["peak"] <= 2 * f["held"])
    return (f"## Loading a `.min` file\n\n`bench/bench_load.py`: NETGEN-like instance of {m:,} arcs and "
            f"{f['nodes']:,} nodes ({f['file_bytes'] / 1e6:.1f} MB), best of {f['repeat']}, page cache warm. "
            f"Same content as the plain-Python reader: {f['same']}.\n\n"
            + table(["reader", "time", "pelmora against it"], rows)
            + f"\nMemory (fresh interpreter): the instance holds {mib(f['held'])} = {f['held'] / m:.1f} B/arc; "
            f"the peak while loading is {mib(f['peak'])} above the interpreter's baseline.\n")


def section_views(f: Figures, targets: Targets) -> str:
    rows = []
    for r in f["reads"]:
        ratio = r["s"] / r["peer_s"]
        rows.append([f"`{r['read']}`", sec(r["s"]), f"`{r['peer']}`", sec(r["peer_s"]), f"{ratio:.2f}×"])
        targets.add(f"Read `{r['read']}`", f"{ratio:.2f}× CPython's `{r['peer']}`", "≤ 1.5×", ratio <= 1.5)
    m, pairs = f["arcs"], f["arcs"] * f["k"]
    bound = 20 * pairs + 64 * m
    targets.add(f"Memory held by `MultiCommodityData` (K = {f['k']})",
                f"{f['data_held_bytes'] / pairs:.1f} B/pair ({mib(f['data_held_bytes'])})",
                f"≤ 20 B/(arc, commodity) + 64 B/arc ({mib(bound)})", f["data_held_bytes"] <= bound)
    return (f"## Attribute reads and memory held\n\n`bench/bench_views.py`: {m:,} arcs, {f['nodes']:,} nodes, "
            f"K = {f['k']}; each read beside CPython building an equal object from ready-made data.\n\n"
            + table(["read", "pelmora", "CPython builds the same", "CPython", "ratio"], rows)
            + f"\nHeld: the instance {mib(f['instance_held_bytes'])} = {f['instance_held_bytes'] / m:.1f} B/arc; "
            f"the data set (uniform split, both randomisations, 10% closed) {mib(f['data_held_bytes'])} = "
            f"{f['data_held_bytes'] / pairs:.1f} B per (arc, commodity) pair.\n")


def section_generate(f: Figures, rng: Figures | None, targets: Targets) -> str:
    rows = [["NumPy, same arithmetic (2·m·K draws, scale, ceil, clamp, exclude)", sec(f["numpy_s"]), "—", "—"],
            ["NumPy, bare draws of 2·m·K uniforms only", sec(f["numpy_bare_s"]), "—", "—"]]
    for r in f["runs"]:
        rows.append([f"`generate_multi_commodity_data`, {r['variant']}", sec(r["s"]),
                     f"{r['s'] / f['numpy_s']:.2f}×", f"{r['s'] / f['numpy_bare_s']:.2f}×"])
        if r["variant"] != "no randomisation":
            targets.within(f"`generate_multi_commodity_data`, {r['variant']}", r["s"], f["numpy_s"],
                           "NumPy (same arithmetic)", 1.5)
    # The performance issue words the same target against "NumPy's bare draws": reported as well.
    worst = max(r["s"] for r in f["runs"] if r["variant"] != "no randomisation")
    targets.within("`generate_multi_commodity_data`, slowest split, against the draws alone", worst,
                   f["numpy_bare_s"], "NumPy's bare draws", 1.5)
    rate = rng["gb_per_s"].get("StdRng::next_u64") if rng else None
    if rate and worst > 1.5 * f["numpy_bare_s"]:
        stream = 2 * f["arcs"] * f["k"] * 8 / (rate * 1e9)
        targets.note(f"the 2·m·K draws of the ChaCha12 stream the results are defined by take {sec(stream)} alone at "
                     f"the measured {rate:.2f} GB/s, {stream / f['numpy_bare_s']:.1f}× NumPy's bare (PCG64) draws, "
                     "before any arithmetic or the 160 MB of results")
    return (f"## Generating a multi-commodity data set\n\n`bench/bench_generate.py`: {f['arcs']:,} arcs, "
            f"{f['nodes']:,} nodes, K = {f['k']}, both randomisations, 10% of the arcs closed per commodity. "
            "The generation issue sets the target against NumPy doing the same arithmetic; the performance "
            "issue words it against NumPy's bare draws (PCG64, one thread), so both are reported. Every result is "
            "defined by one ChaCha12 stream; pelmora draws it on two threads, the second half of the arcs from "
            "the stream position where the first half ends.\n\n"
            + table(["implementation", "time", "÷ NumPy same arithmetic", "÷ NumPy bare draws"], rows))


def section_splits(f: Figures, targets: Targets) -> str:
    rows = []
    for r in f["splits"]:
        speedup = r["python_s"] / r["s"]
        rows.append([f"`split_supplies_{r['split']}`", sec(r["s"]), sec(r["python_s"]), f"{speedup:.1f}×",
                     sec(r["result_dict_s"])])
        targets.faster(f"`split_supplies_{r['split']}`, {f['nodes']:,} nodes", r["s"], r["python_s"],
                       "plain Python", 30)
        targets.note(f"CPython alone builds the result dict in {sec(r['result_dict_s'])}: a split costing nothing "
                     f"else would be {r['python_s'] / r['result_dict_s']:.0f}× faster than plain Python")
    return (f"## Splits\n\n`bench/bench_splits.py`: {f['nodes']:,} nodes, K = {f['k']}, beside plain-Python "
            "implementations of the same algorithms. The last column is what CPython alone needs to build a "
            "dict equal to the result from ready-made rows: every call pays about that for its result.\n\n"
            + table(["split", "pelmora", "plain Python", "speed-up", "result dict alone"], rows))


def section_balance(f: Figures, targets: Targets) -> str:
    rows = []
    for r in f["runs"]:
        rate = f"{r['visits'] / r['s']:.2e}" if r["visits"] else "-"
        ref = sec(r["unit_by_unit_s"]) if r["unit_by_unit_s"] else "-"
        rows.append([r["split"], str(r["seed"]), sec(r["s"]), f"{r['passes']:,}", f"{r['visits']:,}", rate, ref])
    worst = max(r["s"] for r in f["runs"])
    targets.add(f"Balancing at scale ({f['nodes']} nodes, totals ±{f['scale']:.0e}, K = {f['k']})",
                f"worst split {sec(worst)}", "< 2 s per split", worst < 2)
    return (f"## Balancing at scale\n\n`bench/bench_balance.py`: spread and beta-binomial splits of {f['nodes']} "
            f"nodes whose totals lie around ±{f['scale']:.0e}, K = {f['k']}, seeded and balanced. Passes and "
            "visits are those of the unit-by-unit algorithm on the same partition (a native helper runs it and "
            "checks that the results are identical); visits/s is that count over pelmora's time.\n\n"
            + table(["split", "seed", "pelmora", "passes", "visits", "visits/s", "unit-by-unit (native)"], rows)
            + section_many_commodities(f.get("many", []), targets))


def section_many_commodities(runs: list[Figures], targets: Targets) -> str:
    rows = [[f"{r['total']:.0e}", f"{r['k']:.0e}", sec(r["call_s"]), sec(r["balance_s"]), f"{r['passes']:,}",
             sec(r["unit_by_unit_s"] or None), f"{r['unit_by_unit_s'] / r['balance_s']:.0f}×" if r["unit_by_unit_s"]
             else "-"] for r in runs]
    for r in runs:
        if r["k"] == 10**5 and r["unit_by_unit_s"]:
            targets.faster("Balancing 10^5 commodities (`split_supplies_spread({1: 10**6, 2: -10**6}, 10**5, 1)`)",
                           r["balance_s"], r["unit_by_unit_s"], "the unit-by-unit balancing", 50)
    return ("\n### Many commodities\n\n`split_supplies_spread({1: T, 2: -T}, K, 1)`: the whole call, and its "
            "balancing beside the unit-by-unit one (which rebuilds both commodity lists from all K net totals "
            "every pass) on the same partition, results checked identical.\n\n"
            + table(["T", "K", "call", "balancing", "passes", "unit-by-unit (native)", "speed-up"], rows)) if runs else ""


def section_threads(f: Figures, targets: Targets) -> str:
    rows = [[r["work"], sec(r["serial_s"]), sec(r["parallel_s"]), f"{r['ratio']:.2f}×"] for r in f["pairs"]]
    for r in f["pairs"]:
        targets.add(f"Two threads, {r['work']} ({f['arcs']:,} arcs each)", f"{r['ratio']:.2f}× one after the other",
                    "≤ 0.65×", r["ratio"] <= 0.65)
    worst = f["interrupt_worst_s"]
    targets.add("SIGINT to KeyboardInterrupt during a long balance",
                f"median {sec(f['interrupt_median_s'])}, worst {sec(worst)}", "< 0.1 s", worst < 0.1)
    return (f"## Two threads, and Ctrl-C\n\n`bench/bench_threads.py`: two different files of {f['arcs']:,} arcs, "
            f"loaded, then a data set generated on each (K = {f['k']}, both randomisations), on two Python threads "
            f"at once against one after the other (best of {f['repeat']}; generation already draws on two threads "
            f"by itself). SIGINT during a long balance, {len(f['interrupt_s'])} child interpreters.\n\n"
            + table(["work", "one after the other", "both at once", "ratio"], rows))


def section_mcf(f: Figures, targets: Targets) -> str:
    rows = [["`save_multi_commodity_instance`, new file", sec(f["save_s"]), "—"],
            ["`save_multi_commodity_instance` over a file that size", sec(f["save_replace_s"]), "—"],
            ["plain-Python writer (same bytes)", sec(f["python_writer_s"]), relation(f["save_s"], f["python_writer_s"])],
            ["`cat file > /dev/null`", sec(f["cat_s"]), relation(f["save_s"], f["cat_s"])],
            ["`load_multi_commodity_instance`", sec(f["load_s"]), "—"],
            ["`wc -l file`", sec(f["wc_l_s"]), relation(f["load_s"], f["wc_l_s"])]]
    targets.faster(f"`save_multi_commodity_instance`, {f['arcs']:,} arcs, K = {f['k']}", f["save_s"],
                   f["python_writer_s"], "a plain-Python writer", 15)
    targets.within(f"`load_multi_commodity_instance`, {f['arcs']:,} arcs, K = {f['k']}", f["load_s"], f["wc_l_s"],
                   "`wc -l`", 5)
    if f.get("floor"):
        targets.note(floor_note(f["floor"], f["result_bytes"], f["wc_l_s"], "`wc -l`",
                                f"parse {4 + 2 * f['k']} integers a line, number the nodes and sort the arcs by node "
                                "pair").lstrip("; "))
    return (f"## The multi-commodity file\n\n`bench/bench_mcf.py`: {f['arcs']:,} arcs, K = {f['k']}, both "
            f"randomisations on (expanded groups), {f['file_bytes'] / 1e6:.1f} MB. The plain-Python writer wrote "
            f"the same bytes: {f['same']}. Both writers create a new file; replacing one adds the kernel's work of "
            "dropping its old pages, shown on the second line.\n\n" + table(["step", "time", "pelmora against it"], rows))


def section_hostile(f: Figures, targets: Targets) -> str:
    targets.within(f"`load_min_instance`, {f['nodes']:,} colliding identifiers", f["colliding_s"], f["random_s"],
                   "random identifiers", 1.5)
    return (f"## Identifiers chosen to collide\n\n`bench/bench_hostile.py`: {f['nodes']:,} nodes and as many arcs "
            "whose identifiers all share one slot of a table hashed with the golden-ratio constant, beside random "
            "identifiers in a file of the same shape.\n\n"
            + table(["identifiers", "`load_min_instance`"], [["colliding", sec(f["colliding_s"])],
                                                             ["random", sec(f["random_s"])]]))


def section_tools(f: Figures, targets: Targets) -> str:
    """The companion package on the data set of the file bench: export, model, check against solve."""
    size = f"{f['arcs']:,} arcs, K = {f['k']}"
    targets.within(f"`export_mnetgen`, {size}", f["export_s"], f["save_s"], "`save_multi_commodity_instance`", 3)
    targets.within(f"`build_model`, {size}", f["build_s"], f["generate_s"], "`generate_multi_commodity_data`", 2)
    targets.add(f"`build_model` peak memory, {size}", f"{mib(f['build_peak_bytes'])} = "
                f"{f['build_peak_bytes'] / f['handed_bytes']:.2f}× the arrays handed to HiGHS ({mib(f['handed_bytes'])})",
                "≤ 2× those arrays", f["build_peak_bytes"] <= 2 * f["handed_bytes"])
    rows = [[name, sec(f[key])] for name, key in [
        ("`generate_multi_commodity_data`", "generate_s"), ("`save_multi_commodity_instance`", "save_s"),
        ("`arrays_from_data`", "arrays_s"), ("`arrays_from_file`", "file_arrays_s"),
        ("`export_mnetgen` (four files)", "export_s"), ("`build_model` (bundled)", "build_s"),
        ("`check_feasibility`, per commodity", "check_big_s")]]
    return (f"## From data set to solver\n\n`bench/bench_tools.py`: {size}, both randomisations on; the four "
            f"mnetgen files hold {f['export_bytes'] / 1e6:.1f} MB. On {f['solve_arcs']:,} arcs (K = {f['k']}) HiGHS "
            f"solves the bundled LP in {sec(f['solve_s'])} ({f['solve_status']}); the per-commodity check of the "
            f"same data takes {sec(f['check_s'])} ({f['check_s'] / f['solve_s']:.1%} of it).\n\n"
            + table(["step", "time"], rows))


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
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("plot: skipped, matplotlib is not installed")
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


# ---- main -------------------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, seconds; report into bench/out/")
    parser.add_argument("--out", type=Path, help="directory of BENCHMARKS.md (default: repository root, or "
                        "bench/out with --quick)")
    parser.add_argument("--rewrite", action="store_true",
                        help="run nothing: write the report again from the figures of the last run (bench/out)")
    args = parser.parse_args()
    OUT.mkdir(exist_ok=True)
    results = OUT / "results.json"
    if args.rewrite:
        run = json.loads(results.read_text())
    else:
        run = run_benches(args.quick)
        results.write_text(json.dumps(run, indent=1))
    quick = run["quick"]
    out_dir = args.out or (OUT if quick else ROOT)
    out_dir.mkdir(parents=True, exist_ok=True)
    write_report(run, quick, out_dir, (OUT if quick else HERE) / "scaling.png")


def run_benches(quick: bool) -> Figures:
    info = machine()
    load_start = os.getloadavg()
    started = time.perf_counter()
    figures, outputs, notes = {}, {}, []
    for name, script, full_args in BENCHES:
        bench_args = ["--quick"] if quick else list(full_args)
        if quick and name == "load" and not Path("/usr/include/lemon/dimacs.h").exists() \
                and not (OUT / "lemon_read").exists():
            bench_args.append("--no-lemon")
        figures[name], outputs[name], seconds, load = run_bench(script, bench_args)
        notes.append(f"`{script}` {seconds:.0f} s (load average {load:.2f} at its start)")
    return {"quick": quick, "machine": info, "figures": figures, "outputs": outputs, "notes": notes, "load_start": load_start,
            "load_end": os.getloadavg(), "elapsed": time.perf_counter() - started}


def write_report(run: Figures, quick: bool, out_dir: Path, png: Path) -> None:
    info, figures, outputs, notes = run["machine"], run["figures"], run["outputs"], run["notes"]
    load_start, load_end, elapsed = run["load_start"], run["load_end"], run["elapsed"]

    targets = Targets()
    sections = []
    builders: list[tuple[str, Callable[[Figures], str]]] = [
        ("load", lambda f: section_load(f, figures.get("scaling"), targets)),
        ("views", lambda f: section_views(f, targets)),
        ("generate", lambda f: section_generate(f, figures.get("rng"), targets)),
        ("mcf", lambda f: section_mcf(f, targets)),
        ("hostile", lambda f: section_hostile(f, targets)),
        ("tools", lambda f: section_tools(f, targets)),
        ("splits", lambda f: section_splits(f, targets)),
        ("balance", lambda f: section_balance(f, targets)),
        ("rng", lambda f: section_rng(f, targets)),
        ("threads", lambda f: section_threads(f, targets)),
    ]
    for name, build in builders:
        if figures.get(name) is not None:
            sections.append(build(figures[name]))
        else:
            sections.append(f"## {name}\n\nThe bench failed in this run; its output is below.\n")
    if figures.get("scaling") is not None:
        png_name = None
        if plot_scaling(figures["scaling"], png):
            png_name = os.path.relpath(png, out_dir)
        sections.append(section_scaling(figures["scaling"], png_name, targets))

    met = sum(r[3] == "**yes**" for r in targets.rows)
    missed = [r[0] for r in targets.rows if r[3] == "**no**"]
    header = [
        "# Benchmarks" + (" (quick mode: small sizes, only a check that the benches run)" if quick else ""),
        "",
        f"Written by `bench/run_all.py{' --quick' if quick else ''}` (`make bench"
        f"{' QUICK=1' if quick else ''}`) on {info['date']}, commit {info['commit']}; the whole run took "
        f"{elapsed / 60:.1f} min. Every ratio compares figures measured in this same run.",
        "",
        table(["", ""], [
            ["CPU", f"{info['cpu']} ({info['vector']})"],
            ["cores", str(info["cores"])],
            ["memory", f"{info['memory_gib']:.1f} GiB" if info["memory_gib"] else "unknown"],
            ["kernel", info["kernel"]],
            ["Python", info["python"]],
            ["compiler", info["compiler"]],
            ["NumPy", info["numpy"]],
            ["load average (1, 5, 15 min)", f"start {load_start[0]:.2f} {load_start[1]:.2f} {load_start[2]:.2f}; "
             f"end {load_end[0]:.2f} {load_end[1]:.2f} {load_end[2]:.2f} (the machine is shared)"],
        ]).rstrip(),
        "",
        "## Targets",
        "",
        f"{met} of {sum(r[3] != '—' for r in targets.rows)} met"
        + (f"; missed: {'; '.join(missed)}." if missed else ".") + "\n",
        table(["workload", "measured", "target", "met", "context (same run)"], targets.rows),
    ]
    raw = ["## Raw output of each bench", ""] + [
        f"<details><summary><code>bench/{script}</code></summary>\n\n```\n{outputs[name].rstrip()}\n```\n</details>\n"
        for name, script, _ in BENCHES]
    report = "\n".join(header) + "\n" + "\n".join(sections) + "\nBench durations: " + "; ".join(notes) + ".\n\n" \
        + "\n".join(raw)
    (out_dir / "BENCHMARKS.md").write_text(report)
    print(f"\nwrote {out_dir / 'BENCHMARKS.md'}" + (f" and {png}" if png.exists() else ""))
    print(f"targets met: {met}; missed: {', '.join(missed) or 'none'}")


if __name__ == "__main__":
    main()
