#!/usr/bin/env python3
"""The command's start-up: `pelmora --version` and `pelmora netgen --help`, whole processes, against
`python -c pass` of the same interpreter; each the best of --repeat runs, interleaved.

    python bench/bench_startup.py [--repeat N] [--quick] [--json FILE]

Target (printed, never asserted): each at most 3x the bare interpreter.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path

SCRIPT = Path(sys.executable).parent / "pelmora"
COMMANDS = {
    "python -c pass": [sys.executable, "-c", "pass"],
    "pelmora --version": [str(SCRIPT), "--version"],
    "pelmora netgen --help": [str(SCRIPT), "netgen", "--help"],
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=30)
    parser.add_argument("--quick", action="store_true", help="5 runs each")
    parser.add_argument("--json", metavar="PATH")
    args = parser.parse_args()
    repeat = 5 if args.quick else args.repeat
    best = dict.fromkeys(COMMANDS, float("inf"))
    for _ in range(repeat):
        for name, argv in COMMANDS.items():
            began = time.perf_counter()
            subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
            best[name] = min(best[name], time.perf_counter() - began)
    bare = best["python -c pass"]
    for name, seconds in best.items():
        print(f"  {name:<24} {seconds * 1000:7.1f} ms = {seconds / bare:.2f}x the bare interpreter")
    if args.json:
        Path(args.json).write_text(json.dumps({"repeat": repeat, "seconds": best}))


if __name__ == "__main__":
    main()
