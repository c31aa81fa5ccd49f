"""The three splits on 100,000 nodes with K = 10, beside plain-Python implementations of the same
algorithms (the same cuts, draws and balancing steps, with Python's own random numbers).
Target: pelmora at least 30x faster for each split.

The last column is what CPython alone needs to build a dict equal to the result from ready-made
rows ({node: list(row)}): every call pays about that much for its result, whatever the split costs.

    python bench/bench_splits.py [--nodes N] [--k K] [--quick] [--json PATH]
"""

from __future__ import annotations

import argparse
import json
import random
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import best_of  # noqa: E402

import pelmora  # noqa: E402


def supply_map(nodes: int, seed: int = 1) -> dict[int, int]:
    """Every node a supply or demand of 1..1000 units, adding up to 0."""
    rng = random.Random(seed)
    data = {n: rng.randint(1, 1000) * (1 if n % 2 else -1) for n in range(1, nodes + 1)}
    data[nodes] -= sum(data.values())
    return data


# ---- plain Python ------------------------------------------------------------------------------


def balance(partition: dict[int, list[int]], supplies: dict[int, int], k: int,
            draw: Callable[[int], int] | None) -> None:
    nodes = sorted(partition)
    rows = [partition[n] for n in nodes]
    signs = [supplies[n] for n in nodes]
    n = len(rows)
    net = [sum(r[c] for r in rows) for c in range(k)]
    node_cursor = deficit_cursor = 0
    while True:
        surplus = [c for c in range(k) if net[c] > 0]
        deficit = [c for c in range(k) if net[c] < 0]
        if not surplus or not deficit:
            return
        s = surplus[draw(len(surplus))] if draw else surplus[0]
        d = len(deficit)
        if deficit_cursor >= d:
            deficit_cursor = 0
        for _ in range(n):
            v, b = rows[node_cursor], signs[node_cursor]
            t = None
            if b > 0:
                if v[s] > 0:
                    t = deficit[deficit_cursor]
                    deficit_cursor = (deficit_cursor + 1) % d
            elif b < 0:
                for _ in range(d):
                    candidate = deficit[deficit_cursor]
                    deficit_cursor = (deficit_cursor + 1) % d
                    if v[candidate] < 0:
                        t = candidate
                        break
            if t is not None:
                v[s] -= 1
                v[t] += 1
                net[s] -= 1
                net[t] += 1
            node_cursor = (node_cursor + 1) % n
            if net[s] == 0:
                break


def uniform_py(data: dict[int, int], k: int) -> dict[int, list[int]]:
    partition, cursor = {}, 0
    for node in sorted(data):
        total = data[node]
        q = abs(total) // k * (1 if total >= 0 else -1)
        r = total - q * k
        amounts = [q] * k
        unit = 1 if total > 0 else -1
        for _ in range(abs(r)):
            amounts[cursor] += unit
            cursor = (cursor + 1) % k
        partition[node] = amounts
    balance(partition, data, k, None)
    return partition


def random_split_py(data: dict[int, int], k: int, seed: int,
                    cut: Callable[[random.Random, int], list[int]]) -> dict[int, list[int]]:
    """Cuts every non-zero total with cut(rng, magnitude) -> k amounts, then balances."""
    rng = random.Random(seed)
    partition = {}
    for node in sorted(data):
        total = data[node]
        if total == 0:
            continue
        amounts = [abs(total)] if k == 1 else cut(rng, abs(total))
        partition[node] = amounts if total > 0 else [-x for x in amounts]
    balance(partition, data, k, rng.randrange)
    return partition


def spread_py(data: dict[int, int], k: int, seed: int) -> dict[int, list[int]]:
    def cut(rng: random.Random, a: int) -> list[int]:
        cuts = sorted(rng.randint(0, a) for _ in range(k - 1))
        return [b - c for c, b in zip([0, *cuts], [*cuts, a])]

    return random_split_py(data, k, seed, cut)


def beta_binomial_py(data: dict[int, int], k: int, c: float, seed: int) -> dict[int, list[int]]:
    def cut(rng: random.Random, rest: int) -> list[int]:
        amounts = []
        for i in range(k - 1):
            w = 0
            if rest:
                w = rng.binomialvariate(rest, rng.betavariate(c, (k - 1 - i) * c))
                rest -= w
            amounts.append(w)
        return [*amounts, rest]

    return random_split_py(data, k, seed, cut)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    args = parser.parse_args()
    if args.quick:
        args.nodes = 5_000
    k, seed, c = args.k, 42, 3.0
    data = supply_map(args.nodes)
    repeat = 1 if args.quick else 3
    rows: list[tuple[str, Callable[[], dict[int, list[int]]], Callable[[], dict[int, list[int]]]]] = [
        ("uniform", lambda: pelmora.split_supplies_uniform(data, k), lambda: uniform_py(data, k)),
        ("spread", lambda: pelmora.split_supplies_spread(data, k, seed), lambda: spread_py(data, k, seed)),
        ("beta_binomial", lambda: pelmora.split_supplies_beta_binomial(data, k, c, seed),
         lambda: beta_binomial_py(data, k, c, seed)),
    ]
    print(f"{args.nodes} nodes, K = {k}")
    print(f"{'split':14} {'pelmora s':>10} {'plain Python s':>15} {'speed-up':>9} {'result dict alone s':>20}")
    report: dict[str, Any] = {"nodes": args.nodes, "k": k, "splits": []}
    for name, ours, plain in rows:
        t_ours = best_of(ours, repeat)
        t_plain = best_of(plain, 1)
        result = ours()
        keys, values = list(result), [list(v) for v in result.values()]
        t_dict = best_of(lambda: {node: list(row) for node, row in zip(keys, values)}, repeat)
        print(f"{name:14} {t_ours:10.4f} {t_plain:15.3f} {t_plain / t_ours:8.0f}x {t_dict:20.4f}")
        report["splits"].append({"split": name, "s": t_ours, "python_s": t_plain, "result_dict_s": t_dict})
    if args.json:
        Path(args.json).write_text(json.dumps(report))


if __name__ == "__main__":
    main()
