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

from report_feasible import plot_congestion, plot_tightness, section_check, section_congestion, section_feasible
from report_format import Figures, Targets, table
from report_scale import section_model_files, section_startup
from report_scaling import plot_scaling, section_scaling
from report_sections import (
    section_balance,
    section_families,
    section_generate,
    section_hostile,
    section_huge_pages,
    section_load,
    section_mcf,
    section_mnetgen_load,
    section_netgen,
    section_rng,
    section_splits,
    section_sweep,
    section_threads,
    section_tools,
    section_views,
)

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = HERE / "out"

# (name, script, extra arguments of the full run)
BENCHES: list[tuple[str, str, list[str]]] = [
    ("rng", "bench_rng.py", []),
    ("load", "bench_load.py", []),
    ("huge_pages", "bench_huge_pages.py", ["--hold-memory"]),
    ("views", "bench_views.py", []),
    ("generate", "bench_generate.py", []),
    ("splits", "bench_splits.py", []),
    ("balance", "bench_balance.py", []),
    ("mcf", "bench_mcf.py", []),
    ("hostile", "bench_hostile.py", []),
    ("tools", "bench_tools.py", []),
    ("mnetgen_load", "bench_mnetgen_load.py", []),
    ("model_files", "bench_model_files.py", ["--k", "4"]),
    ("startup", "bench_startup.py", []),
    ("feasible", "bench_feasible.py", []),
    ("check", "bench_check.py", []),
    ("congestion", "bench_congestion.py", []),
    ("netgen", "bench_netgen.py", []),
    ("families", "bench_families.py", []),
    ("sweep", "bench_sweep.py", []),
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


# ---- main -------------------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, seconds; report into bench/out/")
    parser.add_argument("--out", type=Path, help="directory of BENCHMARKS.md (default: repository root, or "
                        "bench/out with --quick)")
    parser.add_argument("--only", metavar="NAME,...",
                        help="run only these benches (names as in BENCHES); the others keep the figures of the "
                             "last run (bench/out/results.json), and the report says which run each comes from")
    parser.add_argument("--rewrite", action="store_true",
                        help="run nothing: write the report again from the figures of the last run (bench/out)")
    args = parser.parse_args()
    OUT.mkdir(exist_ok=True)
    results = OUT / "results.json"
    if args.rewrite:
        run = json.loads(results.read_text())
    elif args.only:
        names = args.only.split(",")
        unknown = sorted(set(names) - {name for name, _, _ in BENCHES})
        if unknown:
            parser.error(f"--only: no bench named {', '.join(unknown)}")
        run = json.loads(results.read_text())
        again = run_benches(run["quick"], set(names))
        run["figures"].update(again["figures"])
        run["outputs"].update(again["outputs"])
        # A bench's notes of an earlier run give way to those of this one.
        scripts = tuple(f"`{script}`" for name, script, _ in BENCHES if name in names)
        run["notes"] = [note for note in run["notes"] if not note.startswith(scripts)]
        run["notes"] += [f"{note}, run again at {again['machine']['date']} on {again['machine']['commit']}"
                         for note in again["notes"]]
        run["machine"]["commit"] += (f" ({', '.join(names)} run again at {again['machine']['date']} on "
                                     f"{again['machine']['commit']})")
        results.write_text(json.dumps(run, indent=1))
    else:
        run = run_benches(args.quick)
        results.write_text(json.dumps(run, indent=1))
    quick = run["quick"]
    out_dir = args.out or (OUT if quick else ROOT)
    out_dir.mkdir(parents=True, exist_ok=True)
    write_report(run, quick, out_dir, (OUT if quick else HERE) / "scaling.png")


def run_benches(quick: bool, only: set[str] | None = None) -> Figures:
    info = machine()
    load_start = os.getloadavg()
    started = time.perf_counter()
    figures, outputs, notes = {}, {}, []
    for name, script, full_args in BENCHES:
        if only is not None and name not in only:
            continue
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
        ("huge_pages", lambda f: section_huge_pages(f, targets)),
        ("views", lambda f: section_views(f, targets)),
        ("generate", lambda f: section_generate(f, figures.get("rng"), targets)),
        ("mcf", lambda f: section_mcf(f, targets)),
        ("hostile", lambda f: section_hostile(f, targets)),
        ("tools", lambda f: section_tools(f, targets)),
        ("mnetgen_load", lambda f: section_mnetgen_load(f, targets)),
        ("model_files", lambda f: section_model_files(f, targets)),
        ("startup", lambda f: section_startup(f, targets)),
        ("feasible", lambda f: section_feasible(f, targets)),
        ("check", lambda f: section_check(f, targets)),
        ("congestion", lambda f: section_congestion(f, targets)),
        ("netgen", lambda f: section_netgen(f, targets)),
        ("families", lambda f: section_families(f, targets)),
        ("sweep", lambda f: section_sweep(f, targets)),
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
    if figures.get("feasible") is not None and not quick:
        plot_tightness(figures["feasible"], ROOT / "docs" / "feasible-tightness.png")
    if figures.get("congestion") is not None and not quick:
        plot_congestion(figures["congestion"], ROOT / "docs" / "feasible-congestion.png")
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
