"""Generator throughput: builds bench/rng_bench.cpp with src/random and prints GB/s of output.

    python bench/bench_rng.py [--quick] [--megabytes N] [--json PATH]

Compiled the way CMake compiles the library (-O2 -ffp-contract=off, no fast-math), so the
numbers are those of the code the module runs. Nothing is asserted: compare runs by eye.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="64 MiB per measurement instead of 512")
    parser.add_argument("--megabytes", type=int, default=None)
    parser.add_argument("--json", metavar="PATH", help="also write the rates (GB/s by line) as JSON")
    args = parser.parse_args()
    megabytes = args.megabytes or (64 if args.quick else 512)

    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if not compiler:
        sys.exit("no C++ compiler on PATH")
    with tempfile.TemporaryDirectory() as tmp:
        exe = Path(tmp) / "rng_bench"
        sources = [ROOT / "bench" / "rng_bench.cpp", *sorted((ROOT / "src" / "random").glob("*.cpp"))]
        subprocess.run([compiler, "-std=c++20", "-O2", "-ffp-contract=off", "-fno-fast-math", "-I", str(ROOT / "src"),
                        *map(str, sources), "-o", str(exe)], check=True)
        print(f"random streams, {megabytes} MiB per line, one core")
        sys.stdout.flush()
        out = subprocess.run([str(exe), str(megabytes)], check=True, capture_output=True, text=True).stdout
        print(out, end="")
        if args.json:
            rates = {line[:22].strip(): float(line[22:].split()[0]) for line in out.splitlines() if "GB/s" in line}
            Path(args.json).write_text(json.dumps({"megabytes": megabytes, "gb_per_s": rates}))


if __name__ == "__main__":
    main()
