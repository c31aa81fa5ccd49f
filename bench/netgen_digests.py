#!/usr/bin/env python3
"""Reference digests of the classic C NETGEN's output (sha256 of its problem, node and arc lines)
for a table of parameter sets, kept in tests/data/netgen_digests.json; tests/test_netgen.py
checks pelmora_tools.netgen against them.

    NETGEN_C_PROGRAM=EXE python bench/netgen_digests.py [--write]

Compiles the C program (bench/netgen_c.py), prints each set's digest and whether the stored one
agrees; --write stores the table and the C program's digests. --random N compares
pelmora_tools.netgen with the C program on N random parameter sets as well (nothing stored).
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
import netgen_c  # noqa: E402

STORE = HERE.parent / "tests" / "data" / "netgen_digests.json"

# (what the set covers, parameter line)
CASES: list[tuple[str, str]] = [
    ("NETGEN-8 08a", "13502460 8 256 16 16 2048 1 10000 16000 0 0 100 100 1 1000"),
    ("NETGEN-SR 09b", "69013527 9 512 23 23 11585 1 10000 23000 0 0 100 100 1 1000"),
    ("NETGEN-LO-8 10c", "91208735 10 1024 32 32 8192 1 10000 320 0 0 100 100 1 1000"),
    ("NETGEN-LO-SR 08d", "73460581 8 256 16 16 4096 1 10000 160 0 0 100 100 1 1000"),
    ("NETGEN-DEG 01e", "37240194 1 4096 64 64 8192 1 10000 64000 0 0 100 100 1 1000"),
    ("NETGEN-8 14a", "13502460 14 16384 128 128 131072 1 10000 128000 0 0 100 100 1 1000"),
    ("DIMACS example: negative costs and capacities, transshipment", "1 1 400 200 200 5000 -1000 1000 100000 150 150 20 100 -1000 1000"),
    ("transportation", "12345 2 300 100 200 3000 0 500 20000 0 0 50 50 10 90"),
    ("transportation, more sources than sinks", "777 3 60 40 20 600 1 99 4000 0 0 30 70 5 50"),
    ("assignment", "4242 4 200 100 100 1500 1 100 100 0 0 0 0 1 1"),
    ("assignment, negative costs", "99 5 40 20 20 300 -20 20 20 0 0 50 50 1 5"),
    ("maximum flow, transshipment", "5150 6 500 10 10 4000 1 1 10000 3 3 40 60 10 200"),
    ("maximum flow, transportation", "31 7 100 50 50 1000 1 1 500 0 0 0 50 1 100"),
    ("partial percentages, negative costs, transshipment", "2718281 8 2000 40 60 16000 -100 100 50000 10 20 37 63 0 1000"),
    ("one sink", "5 9 50 10 1 300 1 100 500 2 0 40 60 1 50"),
    ("one sink, supplies unbalanced as the original leaves them", "1 1 2 1 1 2 0 0 2 0 0 0 0 0 0"),
    ("supply per sink beyond 32 bits", "1 10 20 1 2 40 1 10 50000000000 0 0 50 50 1 100"),
    ("past 2^15 nodes", "13502460 17161 40000 2000 2000 160000 0 4096 4000000 0 0 100 100 1 16384"),
    ("seed above 2^31", "4294967297 11 1000 5 5 4000 1 100 500 0 0 50 50 1 10"),
    ("dense", "8 12 60 5 5 3600 1 50 500 1 1 50 50 1 20"),
    ("fewer arcs than the skeleton", "3 13 500 5 400 500 1 100 1000 0 100 10 10 1 10"),
]


def form_of(text: bytes) -> str:
    for line in text.split(b"\n"):
        if line.startswith(b"p "):
            return line.split()[1].decode()
    return "none"


def random_line(rng: random.Random) -> str:
    """Parameters the C program accepts: small networks of every form, with and without
    transshipment nodes, negative costs and capacities, partial percentages."""
    n = rng.choice([2, 3, 5, 10, 20, 50, 100, 200, 500, 2000])
    s = rng.randint(1, max(1, n - 1))
    k = rng.randint(1, max(1, n - s))
    if rng.random() < 0.15:  # transportation (and, with equal halves, assignment) problems
        s = k = n // 2 if n % 2 == 0 else s
        k = n - s
    arcs = min(rng.choice([n, n + 1, 2 * n, 4 * n, 8 * n, n * n // 2, n * n]), 150_000)
    low = rng.choice([1, 0, -50, 5])
    high = low + rng.choice([0, 1, 10, 1000]) if rng.random() > 0.1 else low
    if rng.random() < 0.1:
        low = high = 1  # maximum flow
    supply = rng.choice([s, s + 1, 10 * s, 1000 * s, 7 * s + 3])
    ts = rng.randint(0, s) if rng.random() < 0.4 else 0
    tk = rng.randint(0, k) if rng.random() < 0.4 else 0
    cap = rng.choice([1, 0, -100, 50])
    values = [rng.randint(1, 2**31 - 2), 1, n, s, k, max(arcs, n), low, high, supply, ts, tk,
              rng.choice([0, 100, rng.randint(0, 100)]), rng.choice([0, 100, rng.randint(0, 100)]), cap,
              cap + rng.choice([0, 10, 1000])]  # fmt: skip
    return " ".join(map(str, values))


def compare_random(binary: Path, count: int, seed: int) -> bool:
    import pelmora_tools as pt

    rng = random.Random(seed)
    same = 0
    with tempfile.TemporaryDirectory() as tmp:
        ours = Path(tmp) / "ours.min"
        for _ in range(count):
            line = random_line(rng)
            pt.netgen(line, out=ours)
            theirs = netgen_c.digest(netgen_c.run(binary, line))
            same += digests_cli.tally(theirs == netgen_c.digest(ours.read_bytes()), f"DIFFERENT: {line}")
    print(f"{same} of {count} random parameter sets: the same lines as the C program")
    return same == count


def main() -> int:
    args = digests_cli.parse_args(__doc__, STORE)
    with tempfile.TemporaryDirectory() as tmp:
        binary = netgen_c.build(Path(tmp))
        if binary is None:
            print(netgen_c.NOT_AT_HAND)
            return 1
        stored = {c["params"]: c["sha256"] for c in json.loads(STORE.read_text())["cases"]} if STORE.exists() else {}
        cases = []
        agree = True
        for label, line in CASES:
            out = netgen_c.run(binary, line)
            digest = netgen_c.digest(out)
            same = stored.get(line) == digest
            agree &= same
            print(f"{'same' if same else 'NEW '} {digest[:16]} {form_of(out)} {label}: {line}")
            cases.append({"label": label, "params": line, "form": form_of(out), "sha256": digest})
        if args.random:
            agree &= compare_random(binary, args.random, args.seed)
    if args.write:
        STORE.write_text(json.dumps({"cases": cases}, indent=1) + "\n")
        print(f"wrote {STORE}")
    return 0 if agree or args.write else 1


if __name__ == "__main__":
    sys.exit(main())
