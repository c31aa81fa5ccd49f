#!/usr/bin/env python3
"""Loading a .min file whose node identifiers were chosen to collide in a multiplicative hash
(y * inverse(0x9E3779B97F4A7C15) mod 2^64: every one lands in the same slot of a table hashed
with that constant) beside a file of the same shape with random identifiers.

    python bench/bench_hostile.py [--bytes B] [--repeat R] [--quick] [--json FILE]

Both files hold a node line per node and a cycle of arcs through the nodes, about 7.8 MB by
default. Target (printed, never asserted): the colliding file loads within 1.5x of the random one.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUT = HERE / "out"
sys.path.insert(0, str(HERE))
from common import best_of  # noqa: E402

import pelmora  # noqa: E402

FIBONACCI = 0x9E3779B97F4A7C15
MASK = (1 << 64) - 1


def signed(x: int) -> int:
    return x - (1 << 64) if x >> 63 else x


def colliding_ids(n: int) -> list[int]:
    inverse = pow(FIBONACCI, -1, 1 << 64)
    return [signed(y * inverse & MASK) for y in range(1, n + 1)]


def random_ids(n: int, seed: int = 1) -> list[int]:
    rng = random.Random(seed)
    ids: set[int] = set()
    while len(ids) < n:
        ids.add(signed(rng.getrandbits(64)))
    return list(ids)


def write_instance(path: Path, ids: list[int]) -> None:
    n = len(ids)
    lines = [f"p min {n} {n}"]
    lines += [f"n {v} 0" for v in ids]
    lines += [f"a {ids[i]} {ids[(i + 1) % n]} 0 10 1" for i in range(n)]
    path.write_text("\n".join(lines) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bytes", type=int, default=7_800_000, help="size of each file")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="0.8 MB files, 2 repeats")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    args = parser.parse_args()
    if args.quick:
        args.bytes, args.repeat = 800_000, 2
    # A node costs its node line (about 23 bytes) and its arc line (about 52).
    n = max(2, args.bytes // 75)
    OUT.mkdir(exist_ok=True)
    times: dict[str, float] = {}
    for name, ids in (("colliding", colliding_ids(n)), ("random", random_ids(n))):
        path = OUT / f"hostile-{name}-{n}.min"
        write_instance(path, ids)
        loaded = pelmora.load_min_instance(str(path))
        assert list(loaded.nodes) == ids, f"{name}: the nodes are not listed in order of first appearance"
        times[name] = best_of(lambda: pelmora.load_min_instance(str(path)), args.repeat)
        print(f"{name:>9} identifiers: {n:,} nodes, {n:,} arcs, {path.stat().st_size / 1e6:.1f} MB: "
              f"{times[name] * 1000:.1f} ms (best of {args.repeat})")
        path.unlink()
    ratio = times["colliding"] / times["random"]
    print(f"colliding / random = {ratio:.2f}x   (target <= 1.5)")
    figures = {"nodes": n, "arcs": n, "bytes": args.bytes, "repeat": args.repeat,
               "colliding_s": times["colliding"], "random_s": times["random"], "ratio": ratio}
    (OUT / "hostile.json").write_text(json.dumps(figures, indent=1))
    if args.json:
        args.json.write_text(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
