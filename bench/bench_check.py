#!/usr/bin/env python3
"""``pelmora info --check --certificate`` on a feasible data set with many commodities (K = 5000 on
own-net-parallel-300n-9000a.min, half the pairs closed: a 134 MB file, 45,000,000 arc-commodity
pairs): its peak memory against the data set's arrays, and its time against the peer measured in
the same run, ``pelmora info`` on the same file (reading it and describing it, nothing checked).
Each command runs in its own process, its peak taken from the kernel (wait4).

    python bench/bench_check.py [--k K] [--quick] [--json FILE]

Targets (printed, never asserted): the check's peak memory at most 2x the data set's arrays (the
arrays, the certificate, a column and a block of arcs at a time).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pelmora
import pelmora_tools as pt

HERE = Path(__file__).resolve().parent
INSTANCE = HERE.parent / "tests" / "data" / "own-net-parallel-300n-9000a.min"
SCRIPT = Path(sys.executable).parent / "pelmora"


def measured(argv: list[str]) -> tuple[float, int]:
    """Seconds and peak resident bytes of one command, in a process of its own."""
    started = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - started
    proc.returncode = os.waitstatus_to_exitcode(status)
    assert proc.stderr is not None
    if proc.returncode != 0:
        raise SystemExit(f"{' '.join(argv)}: exit {proc.returncode}: {proc.stderr.read().decode()}")
    return seconds, usage.ru_maxrss * 1024


def arrays_bytes(single: pt.DataSetArrays, k: int) -> int:
    """The bytes of a data set's arrays with the network of ``single`` and K commodities."""
    n, m = single.num_nodes, single.num_arcs
    return 8 * (n + 4 * m + 2 * m * k + n * k)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--k", type=int, default=5000)
    parser.add_argument("--quick", action="store_true", help="K = 200")
    parser.add_argument("--json", type=Path)
    args = parser.parse_args()
    k = 200 if args.quick else args.k
    with tempfile.TemporaryDirectory(prefix="bench_check.") as tmp:
        data, certificate = Path(tmp) / "big.mcf", Path(tmp) / "big.npy"
        # Made by a command of its own too: a child forked from a large parent would start at its size.
        measured([str(SCRIPT), "generate", str(INSTANCE), str(data), "-k", str(k), "--method", "spread", "--seed", "1",
                  "--close", "0.5", "--feasible", "--certificate", str(certificate)])
        single = pt.arrays_from_min(pelmora.load_min_instance(str(INSTANCE)))
        arrays, held = arrays_bytes(single, k), arrays_bytes(single, k) + 8 * single.num_arcs * k  # + the certificate
        file_bytes = data.stat().st_size
        read_s, read_peak = measured([str(SCRIPT), "info", str(data)])
        check_s, check_peak = measured([str(SCRIPT), "info", str(data), "--check", "--certificate", str(certificate)])
    print(f"{INSTANCE.name}, K = {k}, close 0.5: {file_bytes / 1e6:.0f} MB file, arrays {arrays / 2**20:.0f} MiB, "
          f"with the certificate {held / 2**20:.0f} MiB")
    print(f"  pelmora info (peer)                       {read_s:8.2f} s  peak {read_peak / 2**20:6.0f} MiB")
    print(f"  pelmora info --check --certificate        {check_s:8.2f} s  peak {check_peak / 2**20:6.0f} MiB")
    print(f"check / info = {check_s / read_s:.2f}x the time; peak = {check_peak / arrays:.2f}x the arrays "
          f"(target <= 2), {check_peak / held:.2f}x the arrays and certificate; the check adds "
          f"{(check_peak - read_peak) / 2**20:.0f} MiB to the peer's peak")
    if args.json:
        args.json.write_text(json.dumps({"k": k, "file_bytes": file_bytes, "arrays_bytes": arrays,
                                         "held_bytes": held, "read_s": read_s, "read_peak": read_peak,
                                         "check_s": check_s, "check_peak": check_peak}))


if __name__ == "__main__":
    main()
