#!/usr/bin/env python3
"""The sweep's cost per data set against a plain Python loop over the same functions: 40 and then
1,000 tiny data sets (a 1,000-arc network, K = 2) on a local cluster of 2 workers, one run each.

    python bench/bench_sweep.py [--quick] [--json FILE]

Targets (printed, never asserted): each data set past the 40th costs the sweep at most 2x what it
costs the loop; the sweep's fixed cost (start-up and shut-down, what the 40 cost beyond their own
share) under 1.5 s.
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from common import network_file  # noqa: E402

from pelmora_tools.sweep import Plan, run_point, run_sweep  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="200 data sets instead of 1,000")
    parser.add_argument("--json", metavar="PATH")
    args = parser.parse_args()
    many, few = (200 if args.quick else 1000), 40
    instance = str(network_file(100, 1000))

    def plan(count: int) -> Plan:
        return Plan(instance, ("uniform",), (2,), tuple(range(1, count + 1)))

    timings = {}
    with tempfile.TemporaryDirectory() as tmp:
        for count in (few, many):
            began = time.perf_counter()
            outcome = run_sweep(plan(count), Path(tmp) / f"sweep-{count}", workers=2)
            timings[count] = time.perf_counter() - began
            assert len(outcome.written) == count and outcome.failed == 0
        out = Path(tmp) / "loop"
        out.mkdir()
        points = plan(many).points()
        began = time.perf_counter()
        for point in points:
            run_point(point, str(out))
        loop = time.perf_counter() - began
    per_sweep = (timings[many] - timings[few]) / (many - few)
    per_loop = loop / many
    fixed = timings[few] - few * per_sweep
    print(f"sweep: {few} data sets {timings[few]:.2f} s, {many} data sets {timings[many]:.2f} s; "
          f"plain loop over {many}: {loop:.2f} s")
    print(f"each extra data set: sweep {per_sweep * 1000:.2f} ms, loop {per_loop * 1000:.2f} ms = "
          f"{per_sweep / per_loop:.2f}x (target <= 2); fixed cost {fixed:.2f} s (target < 1.5 s)")
    if args.json:
        Path(args.json).write_text(json.dumps({"few": few, "many": many, "sweep_s": timings, "loop_s": loop,
                                               "per_sweep_s": per_sweep, "per_loop_s": per_loop, "fixed_s": fixed}))


if __name__ == "__main__":
    main()
