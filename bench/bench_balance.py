"""Balancing at scale: spread and beta-binomial splits of 60 nodes whose totals lie around +-1e9,
K = 10, seeded and balanced. Balancing removes the imbalance one unit per node visit, so these
need about 10^9 visits of the unit-by-unit algorithm.

Reports, per split: the time of the public function (split plus balancing, best of a few runs),
the passes and node visits the unit-by-unit algorithm makes on the same partition (counted by a
native helper that runs it), visits per second of pelmora, and the unit-by-unit time.
Target: under 2 s per split.

Many commodities: split_supplies_spread({1: T, 2: -T}, K, 1) with T = 10^6, K = 10^5 (and a tenth of
both), balancing against the unit-by-unit algorithm on the same partition, which rebuilds both
commodity lists from all K net totals in every pass. Target: at least 50x faster on the full size.
--quick runs the tenth only.

    python bench/bench_balance.py [--quick] [--seeds N] [--no-reference] [--json PATH]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import best_of  # noqa: E402

import pelmora  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent


def build_helper(directory: Path) -> Path:
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if not compiler:
        sys.exit("no C++ compiler on PATH")
    exe = directory / "balance_bench"
    sources = [ROOT / "bench/balance_bench.cpp", *sorted((ROOT / "src/logic/generator").glob("*.cpp")),
               *sorted((ROOT / "src/random").glob("*.cpp")), *sorted((ROOT / "src/core").glob("*.cpp"))]
    # The flags CMake gives the library.
    subprocess.run([compiler, "-std=c++20", "-O2", "-ffp-contract=off", "-fno-fast-math", "-I", str(ROOT / "src"),
                    *map(str, sources), "-o", str(exe)], check=True)
    return exe


def supply_map(seed: int, nodes: int, scale: int) -> dict[int, int]:
    """Alternating supplies and demands of about `scale` each, adding up to 0."""
    rng = random.Random(seed)
    data = {i + 1: rng.randint(scale // 2, 3 * scale // 2) * (1 if i % 2 == 0 else -1) for i in range(nodes)}
    data[nodes] -= sum(data.values())
    return data


def run_helper(helper: Path, text: str, reference: bool) -> dict[str, str]:
    cmd = [str(helper)] + ([] if reference else ["--no-reference"])
    out = subprocess.run(cmd, input=text, capture_output=True, text=True, check=True).stdout
    facts = dict(item.split("=") for item in out.split())
    assert facts["same"] == "1", "pelmora's and the unit-by-unit balancing differ"
    return facts


def many_commodities(helper: Path, quick: bool, reference: bool) -> list[dict[str, Any]]:
    """Two nodes, K commodities: about K / 2 commodities in surplus and K / 2 in deficit, each a few
    units off, so there are many short passes."""
    runs = []
    print("\nsplit_supplies_spread({1: T, 2: -T}, K, 1)")
    print(f"{'T':>9} {'K':>8} {'call s':>8} {'balance s':>10} {'passes':>9} {'unit-by-unit s':>15} {'speed-up':>9}")
    for total, k in [(10**5, 10**4)] + ([] if quick else [(10**6, 10**5)]):
        data = {1: total, 2: -total}
        call = best_of(lambda: pelmora.split_supplies_spread(data, k, 1), 3)
        facts = run_helper(helper, f"0 {k} 0 1 2\n1 {total}\n2 {-total}\n", reference)
        ours, ref = float(facts["balance_s"]), float(facts["reference_s"])
        speedup = f"{ref / ours:8.0f}x" if ref else f"{'-':>9}"
        print(f"{total:9.0e} {k:8.0e} {call:8.3f} {ours:10.4f} {int(facts['passes']):9d} {ref:15.2f} {speedup}")
        runs.append({"total": total, "k": k, "call_s": call, "balance_s": ours, "passes": int(facts["passes"]),
                     "unit_by_unit_s": ref})
    return runs


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--seeds", type=int, default=2)
    parser.add_argument("--no-reference", action="store_true", help="skip the unit-by-unit run")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    args = parser.parse_args()
    nodes, k, c = 60, 10, 3.0
    scale = 10**6 if args.quick else 10**9
    seeds = range(1, 2 if args.quick else args.seeds + 1)
    repeat = 1 if args.quick else 3

    report: dict[str, Any] = {"nodes": nodes, "k": k, "scale": scale, "runs": []}
    with tempfile.TemporaryDirectory() as tmp:
        helper = build_helper(Path(tmp))
        print(f"{nodes} nodes, totals around +-{scale:.0e}, K = {k}")
        print(f"{'split':14} {'seed':>4} {'pelmora s':>10} {'passes':>12} {'visits':>14} {'visits/s':>10} "
              f"{'unit-by-unit s':>15} {'speed-up':>9}")
        for method in ("spread", "beta_binomial"):
            for seed in seeds:
                data = supply_map(seed, nodes, scale)
                if method == "spread":
                    t = best_of(lambda: pelmora.split_supplies_spread(data, k, seed), repeat)
                else:
                    t = best_of(lambda: pelmora.split_supplies_beta_binomial(data, k, c, seed), repeat)
                text = f"{0 if method == 'spread' else 2} {k} {c} {seed} {nodes}\n"
                text += "".join(f"{n} {v}\n" for n, v in data.items())
                facts = run_helper(helper, text, not args.no_reference)
                visits, ref = int(facts["visits"]), float(facts["reference_s"])
                rate = f"{visits / t:10.2e}" if visits else f"{'-':>10}"
                speedup = f"{ref / t:8.0f}x" if ref else f"{'-':>9}"
                print(f"{method:14} {seed:4d} {t:10.3f} {int(facts['passes']):12d} {visits:14d} {rate} "
                      f"{ref:15.2f} {speedup}")
                report["runs"].append({"split": method, "seed": seed, "s": t, "passes": int(facts["passes"]),
                                       "visits": visits, "unit_by_unit_s": ref})
        report["many"] = many_commodities(helper, args.quick, not args.no_reference)
    if args.json:
        Path(args.json).write_text(json.dumps(report))


if __name__ == "__main__":
    main()
