"""The command line the digest comparisons share: store the digests, or also compare random
parameter sets against the C program."""

from __future__ import annotations

import argparse
from pathlib import Path


def parse_args(doc: str, store: Path) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--write", action="store_true", help=f"store the digests in {store.name}")
    parser.add_argument("--random", type=int, default=0, metavar="N", help="also compare N random parameter sets")
    parser.add_argument("--seed", type=int, default=1, help="of the random parameter sets")
    return parser.parse_args()


def tally(same: bool, difference: str) -> int:
    """1 for a parameter set whose lines are the C program's, else 0 after printing `difference`."""
    if not same:
        print(difference)
    return int(same)
