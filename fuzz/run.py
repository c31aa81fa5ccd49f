"""Runs every libFuzzer target of the fuzz build and the Python-level target fuzz_companion.py
(atheris, in this interpreter): first each input kept in tests/regressions/<target> once, then a
coverage-guided run of SECONDS seconds seeded from make_seeds.py and the corpus kept in
BUILD/corpus/<target> from earlier runs. Prints the executions each target survived and
appends them to BUILD/summary.tsv. Exits non-zero on the first crash, leak, timeout or
out-of-memory; the input is left in BUILD/artifacts/<target>/ (copy it into tests/regressions/).
"""

from __future__ import annotations

import argparse
import datetime
import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TARGETS = ["parse_min", "parse_multi_min", "roundtrip", "tools", "mnetgen_reader", "companion"]
# Targets run by this interpreter (the companion package as installed in it) instead of a binary.
PYTHON_TARGETS = {"companion": ROOT / "fuzz" / "fuzz_companion.py"}
# Lines longer than the reader's 8192-byte buffer must be reachable.
MAX_LEN = 32768


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build" / "fuzz")
    parser.add_argument("--seconds", type=int, default=300)
    parser.add_argument("--targets", nargs="*", default=TARGETS)
    args = parser.parse_args()
    build = args.build.resolve()

    seeds = build / "seeds"
    subprocess.run([sys.executable, str(ROOT / "fuzz" / "make_seeds.py"), "--out", str(seeds)], check=True)

    results = []
    for target in args.targets:
        env = None
        if target in PYTHON_TARGETS:
            binary = [sys.executable, str(PYTHON_TARGETS[target])]
            env = {**os.environ, "FUZZ_WORK": str(build / "work" / target)}
        else:
            binary = [str(build / f"fuzz_{target}")]
        common = [f"-max_len={MAX_LEN}", "-timeout=20", "-rss_limit_mb=2048",
                  f"-dict={ROOT / 'fuzz' / 'dimacs.dict'}"]

        regressions = sorted((ROOT / "tests" / "regressions" / target).glob("*"))
        if regressions:
            replay = subprocess.run([*binary, *common, *map(str, regressions)],
                                    capture_output=True, text=True, env=env)
            if replay.returncode != 0:
                print(replay.stderr[-6000:], file=sys.stderr)
                print(f"fuzz_{target}: a kept regression input fails again", file=sys.stderr)
                return 1
            print(f"fuzz_{target}: {len(regressions)} regression inputs replayed")

        corpus = build / "corpus" / target
        artifacts = build / "artifacts" / target
        corpus.mkdir(parents=True, exist_ok=True)
        artifacts.mkdir(parents=True, exist_ok=True)
        run = subprocess.run(
            [*binary, str(corpus), str(seeds / target), *common, f"-max_total_time={args.seconds}",
             "-print_final_stats=1", f"-artifact_prefix={artifacts}/", "-close_fd_mask=1"],
            capture_output=True, text=True, env=env)
        found = re.search(r"stat::number_of_executed_units:\s*(\d+)", run.stderr)
        executions = int(found.group(1)) if found else 0
        if run.returncode != 0:
            print(run.stderr[-8000:], file=sys.stderr)
            print(f"fuzz_{target}: FAILED after {executions} executions; input in {artifacts}", file=sys.stderr)
            print(f"fuzz: {len(results)} passed, 1 failed")
            return 1
        results.append((target, executions))
        print(f"fuzz_{target}: {executions} executions in {args.seconds} s, no finding "
              f"(corpus {sum(1 for _ in corpus.iterdir())} inputs)")

    print(f"fuzz: {len(results)} passed, 0 failed")
    stamp = datetime.datetime.now().isoformat(timespec="seconds")
    with open(build / "summary.tsv", "a") as summary:
        for target, executions in results:
            summary.write(f"{stamp}\t{target}\t{args.seconds}\t{executions}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
