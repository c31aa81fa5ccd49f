"""What the benchmarks share: timing, resident memory, the common options and the cached instance."""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import subprocess
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from gen_instance import write_instance

OUT = Path(__file__).resolve().parent / "out"


def best_of(fn: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
        del result
    return min(times)


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss_reset() -> None:
    """Starts a new peak: the kernel's high-water mark of this process drops to its current size."""
    Path("/proc/self/clear_refs").write_text("5")


def peak_rss() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    return 0


def held_by[T](make: Callable[[], T]) -> tuple[T, int]:
    """Resident bytes held by the object make() returns (measured after a collection)."""
    gc.collect()
    before = rss_bytes()
    obj = make()
    gc.collect()
    return obj, rss_bytes() - before


def network_args(
    description: str | None = None, repeat: int = 5, extra: Callable[[argparse.ArgumentParser], object] | None = None
) -> tuple[argparse.Namespace, int]:
    """The options of the benchmarks on one generated network (plus what `extra` adds), and how
    often to repeat a timing: --repeat, else `repeat`, or 2 with --quick (20,000 arcs, 2,000 nodes)."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--arcs", type=int, default=1_000_000)
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--quick", action="store_true", help="20,000 arcs, 2,000 nodes, 2 repeats")
    parser.add_argument("--repeat", type=int, help=f"repeats of each timing (default {repeat})")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    if extra:
        extra(parser)
    args = parser.parse_args()
    if args.quick:
        args.arcs, args.nodes = 20_000, 2_000
    if args.repeat:
        return args, args.repeat
    return args, 2 if args.quick else repeat


def network_file(nodes: int, arcs: int) -> Path:
    """The seeded NETGEN-like instance of that size, written once into bench/out."""
    OUT.mkdir(exist_ok=True)
    path = OUT / f"net-{nodes}n-{arcs}a.min"
    if not path.exists():
        write_instance(str(path), nodes, arcs, seed=1)
    return path


def read_floor(path: Path, result_bytes: int, repeat: int) -> dict[str, Any] | None:
    """What any reader pays before parsing (bench/read_floor.cpp): reading `path` through a 64 KiB
    buffer and finding its lines ("read_s"), and faulting in `result_bytes` of fresh memory
    ("fault_s"). None where it cannot be built."""
    OUT.mkdir(exist_ok=True)
    binary = OUT / "read_floor"
    source = Path(__file__).resolve().parent / "read_floor.cpp"
    if not binary.exists() or binary.stat().st_mtime < source.stat().st_mtime:
        built = subprocess.run(["g++", "-O2", "-o", str(binary), str(source)], capture_output=True, text=True)
        if built.returncode != 0:
            print("read floor: skipped, bench/read_floor.cpp does not build")
            return None
    done = subprocess.run([str(binary), str(path), str(result_bytes), str(repeat)], capture_output=True, text=True)
    return json.loads(done.stdout) if done.returncode == 0 else None


def float_text(value: float) -> str:
    """Python's shortest round-trip digits (repr) written out without exponent: the float display of
    the multi-commodity file."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    mantissa, _, exponent = repr(abs(value)).partition("e")
    whole, _, fraction = mantissa.partition(".")
    written = whole + fraction
    digits = written.lstrip("0")
    point = len(whole) + int(exponent or 0) - (len(written) - len(digits))
    digits = digits.rstrip("0")
    if not digits:
        return sign + "0"
    if point <= 0:
        return sign + "0." + "0" * -point + digits
    if point >= len(digits):
        return sign + digits + "0" * (point - len(digits))
    return sign + digits[:point] + "." + digits[point:]
