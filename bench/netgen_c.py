"""The classic C NETGEN (Norbert Schlenker's C version with the 1992 fix, DIMACS output), as the
user built it from its public source: an executable named by NETGEN_C_PROGRAM. Neither its code nor
a recipe to build it is part of this tree; only what it prints is compared. Its compiled size limits
(MAXNODES, MAXARCS) must admit the sizes measured (the full bench: 8,000,000 nodes and 30,000,000
arcs)."""

from __future__ import annotations

import hashlib
import os
import subprocess
from pathlib import Path

NOT_AT_HAND = "C program not at hand (set NETGEN_C_PROGRAM to the executable)"


def build(work: Path, max_nodes: int = 0, max_arcs: int = 0) -> Path | None:
    """The program the environment names, or None when none is named or it is not executable."""
    named = os.environ.get("NETGEN_C_PROGRAM")
    return Path(named) if named and os.access(named, os.X_OK) else None


def problem_lines(text: bytes) -> bytes:
    """The problem, node and arc lines of a NETGEN file (its comments left out)."""
    return b"".join(line + b"\n" for line in text.split(b"\n") if line[:2] in (b"p ", b"n ", b"a "))


def digest(text: bytes) -> str:
    """sha256 of the problem, node and arc lines."""
    return hashlib.sha256(problem_lines(text)).hexdigest()


def run(binary: Path, line: str, timeout: float = 600) -> bytes:
    """What the C program prints for one parameter line."""
    done = subprocess.run([str(binary)], input=line.encode(), capture_output=True, timeout=timeout, check=True)
    return done.stdout
