#!/usr/bin/env python3
"""Seeded NETGEN-like minimum-cost flow instance in the DIMACS ".min" format.

    gen_instance.py NODES ARCS SEED OUTPUT [--parallel N] [--unsorted]

Nodes are numbered 1..NODES. 2% of them are sources and 2% sinks (at least one each). A skeleton
cycle through every node, with capacity equal to the total supply, makes every instance feasible
and strongly connected; the remaining arcs join random node pairs (no self-loops) with costs and
capacities drawn from 1..10000. About 0.1% of the arcs (or N with --parallel) repeat the node pair
of an earlier arc, so the instance has a few parallel arcs. Arc lines are grouped by tail as
NETGEN writes them, unless --unsorted keeps them in random order.

Importable: write_instance(path, nodes, arcs, seed, ...) returns the facts of the file written.
"""

from __future__ import annotations

import argparse
import random
import sys
from typing import Any

MAX_COST = 10_000
MAX_CAP = 10_000


def build_instance(nodes: int, arcs: int, seed: int, parallel: int | None = None,
                   unsorted: bool = False) -> tuple[dict[int, int], list[tuple[int, int, int, int, int]]]:
    """Returns (supplies: dict node -> amount, arcs: list of (tail, head, low, cap, cost))."""
    if nodes < 2:
        raise ValueError("need at least two nodes")
    if arcs < nodes:
        raise ValueError("need at least as many arcs as nodes (the skeleton cycle)")
    rng = random.Random(seed)
    order = list(range(1, nodes + 1))
    rng.shuffle(order)
    terminals = max(1, nodes * 2 // 100)
    sources, sinks = order[:terminals], order[terminals : 2 * terminals]
    total = 50 * nodes
    supplies = {}
    for group, sign in ((sources, 1), (sinks, -1)):
        cuts = sorted(rng.randrange(1, total) for _ in range(len(group) - 1))
        amounts = [b - a for a, b in zip([0, *cuts], [*cuts, total])]
        for node, amount in zip(group, amounts):
            if amount:
                supplies[node] = sign * amount

    arc_list = []
    ring = order[:]
    rng.shuffle(ring)
    for i, tail in enumerate(ring):
        arc_list.append((tail, ring[(i + 1) % nodes], 0, total, rng.randint(1, MAX_COST)))
    n_parallel = max(1, arcs // 1000) if parallel is None else parallel
    n_random = arcs - nodes - n_parallel
    randint = rng.randint
    for _ in range(max(0, n_random)):
        tail = randint(1, nodes)
        head = randint(1, nodes - 1)
        if head >= tail:
            head += 1
        arc_list.append((tail, head, 0, randint(1, MAX_CAP), randint(1, MAX_COST)))
    for _ in range(max(0, arcs - len(arc_list))):
        tail, head = arc_list[rng.randrange(len(arc_list))][:2]
        arc_list.append((tail, head, 0, randint(1, MAX_CAP), randint(1, MAX_COST)))
    if unsorted:
        rng.shuffle(arc_list)
    else:
        arc_list.sort(key=lambda a: a[0])
    return supplies, arc_list


def write_instance(path: str, nodes: int, arcs: int, seed: int, parallel: int | None = None,
                   unsorted: bool = False) -> dict[str, Any]:
    supplies, arc_list = build_instance(nodes, arcs, seed, parallel, unsorted)
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write(f"c NETGEN-like instance: {nodes} nodes, {arcs} arcs, seed {seed}\n")
        out.write(f"p min {nodes} {arcs}\n")
        out.writelines(f"n {node} {supplies[node]}\n" for node in sorted(supplies))
        out.writelines(f"a {t} {h} {lo} {cap} {cost}\n" for t, h, lo, cap, cost in arc_list)
    pairs: dict[tuple[int, int], int] = {}
    for t, h, *_ in arc_list:
        pairs[(t, h)] = pairs.get((t, h), 0) + 1
    return {
        "nodes": nodes,
        "arcs": len(arc_list),
        "node_lines": len(supplies),
        "parallel_pairs": sum(1 for c in pairs.values() if c > 1),
    }


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("nodes", type=int)
    parser.add_argument("arcs", type=int)
    parser.add_argument("seed", type=int)
    parser.add_argument("output")
    parser.add_argument("--parallel", type=int, default=None, help="number of arcs repeating an earlier pair")
    parser.add_argument("--unsorted", action="store_true", help="keep arc lines in random order")
    args = parser.parse_args(argv)
    facts = write_instance(args.output, args.nodes, args.arcs, args.seed, args.parallel, args.unsorted)
    print(" ".join(f"{k}={v}" for k, v in facts.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
