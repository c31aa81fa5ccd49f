"""Report sections of the studies at scale: the native model files, the command's start-up."""

from __future__ import annotations

from report_format import Figures, Targets, sec, table


def section_model_files(f: Figures, targets: Targets) -> str:
    """The native MPS and LP writers against a plain write of their bytes and HiGHS's writer."""
    size = f"{f['arcs']:,} arcs, K = {f['k']}"
    rows = []
    for fmt, name in (("mps", "free MPS"), ("lp", "CPLEX LP")):
        w = f[fmt]
        targets.within(f"{name} file, {size}", w["native_s"], w["plain_s"], "a plain write of its bytes", 3)
        targets.note(f"CPU time {w['native_cpu_s'] / w['plain_cpu_s']:.2f}× the plain write's; "
                     f"peak +{w['peak_bytes'] / 2**20:.1f} MiB beyond the arrays")
        rows.append([name, f"{w['bytes'] / 1e6:.1f} MB", sec(w["native_s"]), sec(w["plain_s"]), sec(w["whole_s"]),
                     f"{sec(w['highs_s'])} ({w['highs_s'] / w['native_s']:.0f}×)"])
    return (f"## Model files\n\n`bench/bench_model_files.py`: the bundled LP of {size} (both randomisations on), "
            "written by the native writer, by a plain Python write of the same bytes (1 MiB writes from memory) "
            "and by HiGHS's own writer; \"whole\" adds the flush to disk and the rename.\n\n"
            + table(["format", "size", "native", "plain write", "whole", "HiGHS"], rows))


def section_startup(f: Figures, targets: Targets) -> str:
    """The command's start-up against the bare interpreter."""
    seconds = f["seconds"]
    bare = seconds["python -c pass"]
    for name in ("pelmora --version", "pelmora netgen --help"):
        targets.within(f"`{name}` (whole process)", seconds[name], bare, "`python -c pass`", 3)
    rows = [[f"`{name}`", sec(t), f"{t / bare:.2f}×"] for name, t in seconds.items()]
    return (f"## Start-up\n\n`bench/bench_startup.py`: whole processes, the best of {f['repeat']} runs each, "
            "interleaved.\n\n" + table(["command", "time", "against the bare interpreter"], rows))


def section_sweep(f: Figures, targets: Targets) -> str:
    """The sweep's cost per tiny data set and its fixed cost."""
    targets.within(f"a sweep's data set past the {f['few']}th (1,000 arcs, K = 2, 2 workers)", f["per_sweep_s"],
                   f["per_loop_s"], "a plain loop's", 2)
    targets.add("a sweep's fixed cost", sec(f["fixed_s"]), "< 1.5 s", f["fixed_s"] < 1.5)
    sweeps = f["sweep_s"]
    rows = [[f"sweep of {count} data sets", sec(sweeps[str(count)])]  # JSON's keys are text
            for count in (f["few"], f["many"])] + [[f"plain loop over {f['many']}", sec(f["loop_s"])]]
    return ("## Sweeps of tiny data sets\n\n`bench/bench_sweep.py`: a 1,000-arc network, K = 2, on a local "
            "cluster of 2 workers; small data sets go to the workers in batches.\n\n"
            + table(["run", "time"], rows))
