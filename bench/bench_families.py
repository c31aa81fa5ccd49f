#!/usr/bin/env python3
"""GRIDGEN, GOTO and MNETGEN built in: the whole `pelmora gridgen`, `pelmora goto` and `pelmora mnetgen`
commands on problems of about 1,000,000 arcs against the classic C programs' whole runs, in the same run.

    GRIDGEN_C_PROGRAM=EXE GOTO_C_PROGRAM=EXE MNETGEN_C_PROGRAM=EXE python bench/bench_families.py [--arcs N] [--quick] [--json FILE]

Each C program is run when its variable names its executable, built by the user
(bench/families_c.py); otherwise its figures are reported as not at hand. Both sides write files:
GRIDGEN's and GOTO's standard output redirected to one, MNETGEN's four files. The library call
alone is timed too. Targets (printed, never asserted): the command takes at most the C program's
time; the same lines as the C program's.
"""

from __future__ import annotations

import argparse
import json
import math
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import families_c  # noqa: E402
from common import OUT, best_of  # noqa: E402

import pelmora_tools as pt  # noqa: E402


def lines_for(arcs: int) -> dict[str, str]:
    """A problem of about `arcs` arcs per family: a two-way GRIDGEN grid of degree 8, a GOTO torus
    of 8 arcs per node, an MNETGEN problem of 8 arcs per node and 10 commodities."""
    nodes = max(arcs // 8, 64)
    width = max(2, round(math.sqrt(nodes)))
    ends = max(1, round(math.sqrt(nodes)) // 2)
    return {
        "gridgen": f"1 12345 {nodes} {width} {ends} {ends} 8 1000000 1 1 10000 1 100 10000",
        "goto": f"{nodes} {arcs} 1000 1000 12345",
        "mnetgen": f"12345 1 {nodes} {arcs} {ends} {ends} 10 0 0 8 1 1000 1000 10000 1 100 100 10000 20 30 40",
    }


def pelmora_command() -> list[str]:
    found = shutil.which("pelmora", path=str(Path(sys.executable).parent))
    return [found] if found else [sys.executable, "-m", "pelmora_tools"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arcs", type=int, default=1_000_000)
    parser.add_argument("--quick", action="store_true", help="20,000 arcs, 2 repeats")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    args = parser.parse_args()
    if args.quick:
        args.arcs, args.repeat = 20_000, 2
    OUT.mkdir(exist_ok=True)
    figures: dict[str, object] = {"arcs": args.arcs, "repeat": args.repeat}
    command = pelmora_command()
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        for family, line in lines_for(args.arcs).items():
            ours = OUT / f"{family}-ours"
            target = str(ours) if family == "mnetgen" else f"{ours}.min"
            argv = [*command, family, target, "--params", line]
            f: dict[str, object] = {"params": line}
            f["command_s"] = best_of(lambda: subprocess.run(argv, check=True), args.repeat)
            if family == "mnetgen":
                f["library_s"] = best_of(lambda: pt.mnetgen_files(line, ours), args.repeat)
                f["arcs"] = sum(1 for _ in open(f"{ours}.arc", "rb"))
            else:
                write = pt.gridgen if family == "gridgen" else pt.goto
                f["library_s"] = best_of(lambda: write(line, out=target), args.repeat)
                f["arcs"] = write(line, out=target).arcs
            print(f"{family}, {f['arcs']:,} arc records: {line}")
            print(f"  pelmora {family} (the whole command):  {f['command_s']:.3f} s")
            print(f"  the library call alone:              {f['library_s']:.3f} s")
            binary = families_c.build(family, work / family)
            if binary is None:
                print(f"  C {family.upper()}: {families_c.not_at_hand(family)}")
                f["c_s"] = None
            else:
                c_work = work / f"{family}-run"
                c_work.mkdir()
                if family == "mnetgen":
                    f["c_s"] = best_of(lambda: families_c.run(binary, family, line, c_work), args.repeat)
                    f["same_as_c"] = families_c.files_digest(c_work / "c") == families_c.files_digest(ours)
                else:
                    c_file = c_work / "c.min"

                    def once() -> None:
                        with c_file.open("wb") as out:
                            subprocess.run([str(binary)], input=line.encode(), stdout=out, check=True)

                    f["c_s"] = best_of(once, args.repeat)
                    f["same_as_c"] = families_c.digest(c_file.read_bytes()) == families_c.digest(Path(target).read_bytes())
                ratio = float(f["command_s"]) / float(f["c_s"])  # type: ignore[arg-type]
                print(f"  C {family.upper()} (-O2, whole run):        {f['c_s']:.3f} s; "
                      f"pelmora/C = {ratio:.2f}x; same output: {f['same_as_c']}")  # fmt: skip
            for suffix in (".min", ".nod", ".arc", ".sup", ".mut"):
                Path(f"{ours}{suffix}").unlink(missing_ok=True)
            figures[family] = f
    if args.json:
        Path(args.json).write_text(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
