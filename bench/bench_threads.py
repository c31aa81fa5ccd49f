#!/usr/bin/env python3
"""Calls on two Python threads at once, and how fast Ctrl-C stops a call.

Two threads load two different NETGEN-like ".min" files (1,000,000 arcs each by default), then
generate a data set (K = 10, both randomisations) on each of the two networks: wall time of both
at once against one after the other. And, in a child interpreter, the time from SIGINT to the
KeyboardInterrupt during a long balance (spread split of totals +-1e12).

Targets (printed, never asserted): both at once take at most 0.65x the time of one after the
other; KeyboardInterrupt within 0.1 s of the signal.

    python bench/bench_threads.py [--arcs N] [--nodes N] [--k K] [--quick] [--json PATH]

The figures also go to bench/out/threads.json.
"""

from __future__ import annotations

import json
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from functools import partial
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import OUT, best_of, network_args, network_file  # noqa: E402
from gen_instance import write_instance  # noqa: E402

import pelmora  # noqa: E402

# One SIGINT into a balance that would run for minutes, measured in the child itself.
CHILD = r"""
import json, os, signal, sys, threading, time
import pelmora
signal.signal(signal.SIGINT, signal.default_int_handler)  # a background parent may ignore it
sent = []
def send():
    time.sleep(0.3)
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=send, daemon=True).start()
try:
    while True:
        pelmora.split_supplies_spread({1: 10**12, 2: -10**12, 3: 10**12, 4: -10**12}, 10, 7)
except KeyboardInterrupt:
    print(json.dumps(time.perf_counter() - sent[0]))
"""


def second_file(nodes: int, arcs: int) -> Path:
    path = OUT / f"net-{nodes}n-{arcs}a-seed2.min"
    if not path.exists():
        write_instance(str(path), nodes, arcs, seed=2)
    return path


def at_once(calls: list[Callable[[], object]]) -> float:
    """Wall time of running every call on its own thread, all started together."""
    barrier = threading.Barrier(len(calls) + 1)
    results: list[object] = [None] * len(calls)

    def run(i: int) -> None:
        barrier.wait()
        results[i] = calls[i]()

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(calls))]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def cores_busy(calls: list[Callable[[], object]]) -> float:
    """The cores the calls keep busy one after the other: the process's CPU time over the wall
    time. A call that already works on two threads leaves a second caller little to gain."""
    wall, cpu = time.perf_counter(), time.process_time()
    for call in calls:
        call()
    return (time.process_time() - cpu) / (time.perf_counter() - wall)


def pair(name: str, calls: list[Callable[[], object]], repeat: int) -> dict[str, Any]:
    serial = best_of(lambda: [call() for call in calls], repeat)
    parallel = min(at_once(calls) for _ in range(repeat))
    busy = cores_busy(calls)
    print(f"{name:10} one after the other {serial:8.4f} s   both at once {parallel:8.4f} s   "
          f"{parallel / serial:.2f}x (target <= 0.65x); one after the other keeps {busy:.2f} cores busy")
    return {"work": name, "serial_s": serial, "parallel_s": parallel, "ratio": parallel / serial, "cores_busy": busy}


def main() -> None:
    args, repeat = network_args()
    paths = [str(network_file(args.nodes, args.arcs)), str(second_file(args.nodes, args.arcs))]
    print(f"two files of {args.arcs:,} arcs and {args.nodes:,} nodes; best of {repeat}")
    rows = [pair("load", [partial(pelmora.load_min_instance, p) for p in paths], repeat)]
    networks = [pelmora.load_min_instance(p) for p in paths]
    rows.append(pair(f"generate K={args.k}", [
        partial(pelmora.generate_multi_commodity_data, n, args.k, 0, randomize_caps=True, randomize_costs=True)
        for n in networks], repeat))
    del networks

    latencies = []
    for _ in range(3 if args.quick else 7):
        done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=120)
        latencies.append(json.loads(done.stdout))
    median, worst = statistics.median(latencies), max(latencies)
    print(f"SIGINT to KeyboardInterrupt during a long balance: median {median * 1e3:.1f} ms, "
          f"worst {worst * 1e3:.1f} ms of {len(latencies)} (target < 100 ms)")

    report = {"arcs": args.arcs, "nodes": args.nodes, "k": args.k, "repeat": repeat, "pairs": rows,
              "interrupt_s": latencies, "interrupt_median_s": median, "interrupt_worst_s": worst}
    OUT.mkdir(exist_ok=True)
    (OUT / "threads.json").write_text(json.dumps(report))
    if args.json:
        Path(args.json).write_text(json.dumps(report))


if __name__ == "__main__":
    main()
