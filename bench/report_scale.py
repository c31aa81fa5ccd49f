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

