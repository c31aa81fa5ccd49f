#!/usr/bin/env python3
"""Reference digests of the classic GRIDGEN, GOTO and MNETGEN programs' output for a table of
parameter sets, kept in tests/data/families_digests.json; tests/test_families.py checks
pelmora_tools.gridgen, goto and mnetgen_files against them. For GRIDGEN and GOTO the digest is
sha256 of the problem, node and arc lines; for MNETGEN, of the four files (.nod .arc .sup .mut).

    GRIDGEN_C_PROGRAM=EXE GOTO_C_PROGRAM=EXE MNETGEN_C_PROGRAM=EXE python bench/families_digests.py [--write]

Compiles the programs at hand (bench/families_c.py), prints each set's digest and whether the
stored one agrees; --write stores the table. --random N also compares N random parameter sets
per family (nothing stored).
"""

from __future__ import annotations

import json
import random
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import digests_cli  # noqa: E402
import families_c  # noqa: E402

STORE = HERE.parent / "tests" / "data" / "families_digests.json"

# family: [(what the set covers, parameter line)]
CASES: dict[str, list[tuple[str, str]]] = {
    "gridgen": [
        ("two-way, uniform costs and capacities", "1 12345678 500 50 50 30 8 100000 1 0 2000 1 20 2000"),
        ("one-way", "0 87654321 500 50 50 30 8 100000 1 0 2000 1 20 2000"),
        ("exponential costs; capacities drawn by the exponential with the low bound", "1 4242 400 20 10 10 6 5000 2 100 1 1 1000"),
        ("uniform costs; capacities drawn uniformly from lambda to 0", "0 777 300 15 8 12 5 20000 1 10 100 2 50"),
        ("exponential costs and capacities", "1 99 1000 40 20 20 10 100000 2 500 2 200"),
        ("largest seed", "1 2147483647 256 16 16 16 8 10000 1 1 100 1 1 100"),
        ("negative seed", "0 -123457 256 16 16 16 8 10000 1 1 100 1 1 100"),
        ("nodes rounded to a grid whose width is the shorter side", "1 5 1000 7 10 10 4 1000 1 0 50 1 5 60"),
        ("nodes rounded to a grid whose width is the longer side", "0 6 1000 40 10 10 4 1000 1 0 50 1 5 60"),
        ("degree below the grid's own", "0 31 100 10 3 3 1 500 1 1 9 1 1 9"),
        ("decimal bounds, rounded to single precision", "1 2718 200 20 5 5 6 777 1 0.1 99.7 1 10.25 30.3"),
        ("negative costs", "1 2 100 10 4 4 5 300 1 -50 50 1 1 100"),
        ("every grid node a source or a sink", "1 3 25 5 12 13 4 1000 1 1 10 1 1 10"),
        ("one source, one sink", "0 8 64 8 1 1 3 50 1 1 20 1 1 20"),
        ("40,000 nodes", "1 12345 40000 200 100 100 8 1000000 1 1 10000 1 100 10000"),
    ],
    "goto": [
        ("the smallest", "15 90 8 8 1"),
        ("extra nodes", "20 120 100 100 7"),
        ("a cube of nodes", "1000 8000 1000 1000 12345"),
        ("extra nodes and extra arcs", "1100 7000 1000 1000 4711"),
        ("arcs at nodes^(5/3)", "100 2154 50 50 3"),
        ("arcs at 6 x nodes", "4096 24576 100 100 2"),
        ("negative seed", "500 4000 100 100 -5"),
        ("supply beyond 32 bits", "4096 40000 2147483647 1000 9"),
        ("return arcs of cost 0 (max_cost below the rows)", "1000 8000 8 8 5"),
        ("GOTO-8 style, 8 arcs per node", "8192 65536 4000 4000 314159"),
        ("30,000 nodes", "30000 300000 16 16 2"),
    ],
    "mnetgen": [
        ("chains, bounds and mutual capacities", "1 1 50 200 5 5 4 1 1 10 1 100 10 100 1 50 10 100 20 30 40"),
        ("no transshipment nodes: no chains", "7 2 20 100 10 10 3 0 0 5 1 50 100 500 10 100 50 200 10 20 30"),
        ("long chains", "12345 3 200 1000 10 10 8 2 2 30 5 500 100 1000 20 80 100 400 25 50 60"),
        ("every arc high-cost, bounded and capacitated", "99 4 64 400 8 8 4 0 0 12 1 1000 64 640 1 100 200 900 100 100 100"),
        ("no bounds, no mutual capacities", "5 5 64 300 6 6 16 1 1 8 1 100 50 500 1 10 1 10 0 0 0"),
        ("decimal percentages", "2024 6 128 1024 12 12 8 3 3 20 1 100 100 1000 10 100 100 1000 12.5 37.5 62.5"),
        ("bounds beyond four digits", "4242 7 100 600 10 10 4 1 1 5 1 10000 100000 1000000 1 100 10000 100000 30 40 50"),
        ("one commodity", "17 8 30 90 3 3 1 0 0 6 1 20 10 100 1 10 10 50 10 50 50"),
        ("negative seed and costs", "-77 9 40 200 4 4 4 1 1 8 -50 50 20 200 1 20 20 100 20 30 40"),
        ("no chains asked for", "3 10 60 300 6 6 4 2 2 0 1 100 60 600 1 100 10 100 20 30 40"),
        ("fewer arcs than the skeleton", "11 11 100 10 10 10 8 2 2 10 1 100 100 1000 1 100 100 1000 20 30 40"),
        ("256 nodes, 32 commodities", "8 12 256 4096 32 32 32 4 4 16 1 1000 1000 10000 50 500 1000 20000 30 30 50"),
    ],
}


def ours(family: str, line: str, work: Path) -> str:
    import pelmora_tools as pt

    if family == "mnetgen":
        pt.mnetgen_files(line, work / "ours")
        return families_c.files_digest(work / "ours")
    out = work / "ours.min"
    (pt.gridgen if family == "gridgen" else pt.goto)(line, out=out)
    return families_c.digest(out.read_bytes())


def reference(binary: Path, family: str, line: str, work: Path) -> str:
    made = families_c.run(binary, family, line, work)
    return families_c.files_digest(made) if isinstance(made, Path) else families_c.digest(made)


def random_line(family: str, rng: random.Random) -> str:
    """Parameters the programs finish with: small networks of every form."""
    if family == "gridgen":
        width = rng.randint(2, 40)
        nodes = rng.randint(4, 1600)
        n1, n2 = (width, int(nodes / width + 0.5)) if width * width >= nodes else (int(nodes / width + 0.5), width)
        grid = max(n1 * n2, 2)
        s = rng.randint(1, max(1, grid // 3))
        k = rng.randint(1, max(1, min(grid - s, grid // 3)))
        dist = [rng.choice([1, 2]), rng.choice([1, 2])]
        pars = [f"{rng.randint(0, 50)} {rng.randint(50, 5000)}" if d == 1 else str(rng.randint(1, 500)) for d in dist]
        return (f"{rng.randint(0, 1)} {rng.randint(1, 2**31 - 1)} {nodes} {width} {s} {k} {rng.randint(0, 12)} "
                f"{rng.randint(1, 10**6)} {dist[0]} {pars[0]} {dist[1]} {pars[1]}")  # fmt: skip
    if family == "goto":
        n = rng.randint(15, 5000)
        m = rng.randint(6 * n, int(n ** (5 / 3)))
        return f"{n} {m} {rng.randint(8, 10**6)} {rng.randint(8, 10**5)} {rng.randint(1, 2**31 - 1)}"
    n = rng.randint(10, 300)
    s = rng.randint(1, n // 3)
    k = rng.randint(1, n // 3)
    lo = rng.randint(s, 1000)
    return (f"{rng.randint(1, 2**31 - 1)} 1 {n} {rng.randint(0, 8 * n)} {s} {k} {rng.randint(1, 12)} "
            f"{rng.randint(0, s)} {rng.randint(0, k)} {rng.randint(0, 30)} 1 {rng.randint(1, 1000)} {lo} "
            f"{lo + rng.randint(0, 10**5)} 1 {rng.randint(1, 500)} 1 {rng.randint(1, 10**5)} "
            f"{rng.choice([0, 100, rng.randint(0, 100)])} {rng.choice([0, 100, rng.randint(0, 100)])} "
            f"{rng.choice([0, 100, rng.randint(0, 100)])}")  # fmt: skip


def compare_random(binary: Path, family: str, count: int, seed: int, work: Path) -> bool:
    rng = random.Random(seed)
    same = tried = 0
    for _ in range(count):
        line = random_line(family, rng)
        try:
            mine = ours(family, line, work)
        except ValueError as refused:  # parameters the C program would never finish with
            print(f"  refused: {line}: {refused}")
            continue
        tried += 1
        same += digests_cli.tally(reference(binary, family, line, work) == mine, f"DIFFERENT {family}: {line}")
    print(f"{family}: {same} of {tried} random parameter sets give the C program's lines")
    return same == tried


def main() -> int:
    args = digests_cli.parse_args(__doc__, STORE)
    stored = json.loads(STORE.read_text()) if STORE.exists() else {}
    table: dict[str, list[dict[str, str]]] = {}
    agree = True
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        for family, cases in CASES.items():
            binary = families_c.build(family, work / "build" / family)
            if binary is None:
                print(f"{family}: {families_c.not_at_hand(family)}")
                table[family] = stored.get(family, [])
                agree = False
                continue
            known = {c["params"]: c["sha256"] for c in stored.get(family, [])}
            table[family] = []
            for label, line in cases:
                digest = reference(binary, family, line, work)
                stored_same, ours_same = known.get(line) == digest, ours(family, line, work) == digest
                agree &= stored_same and ours_same
                state = ("stored" if stored_same else "new") + (", ours the same" if ours_same else ", OURS DIFFER")
                print(f"{digest[:16]} {family} {label} ({state}): {line}")
                table[family].append({"label": label, "params": line, "sha256": digest})
            if args.random:
                agree &= compare_random(binary, family, args.random, args.seed, work)
    if args.write:
        STORE.write_text(json.dumps(table, indent=1) + "\n")
        print(f"wrote {STORE}")
    return 0 if agree or args.write else 1


if __name__ == "__main__":
    sys.exit(main())
