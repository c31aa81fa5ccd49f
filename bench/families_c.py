"""The classic C programs of GRIDGEN, GOTO and MNETGEN, as the user built them from their public
sources: executables named by GRIDGEN_C_PROGRAM, GOTO_C_PROGRAM and MNETGEN_C_PROGRAM (MNETGEN's
C++ form with drand48 and four files). Neither their code nor a recipe to build it is part of this
tree; only what they write is compared. GRIDGEN's stream wraps a 32-bit product: build it without
optimisation or with -fwrapv, as its own build does."""

from __future__ import annotations

import hashlib
import os
import subprocess
from pathlib import Path

VARIABLES = {"gridgen": "GRIDGEN_C_PROGRAM", "goto": "GOTO_C_PROGRAM", "mnetgen": "MNETGEN_C_PROGRAM"}


def not_at_hand(family: str) -> str:
    return f"C program not at hand (set {VARIABLES[family]} to the executable)"


def build(family: str, work: Path) -> Path | None:
    """The program the environment names, or None when none is named or it is not executable."""
    named = os.environ.get(VARIABLES[family])
    return Path(named) if named and os.access(named, os.X_OK) else None


def problem_lines(text: bytes) -> bytes:
    """The problem, node and arc lines of a DIMACS file (its comments left out)."""
    return b"".join(line + b"\n" for line in text.split(b"\n") if line[:2] in (b"p ", b"n ", b"a "))


def digest(text: bytes) -> str:
    return hashlib.sha256(problem_lines(text)).hexdigest()


def files_digest(prefix: Path) -> str:
    """sha256 over MNETGEN's four files, in the order .nod .arc .sup .mut."""
    h = hashlib.sha256()
    for suffix in (".nod", ".arc", ".sup", ".mut"):
        h.update(prefix.with_name(prefix.name + suffix).read_bytes())
    return h.hexdigest()


def run(binary: Path, family: str, line: str, work: Path, timeout: float = 600) -> bytes | Path:
    """What the program writes for one parameter line: GRIDGEN's and GOTO's standard output, or the
    prefix of MNETGEN's four files (written in `work`)."""
    if family == "mnetgen":
        (work / "problem.inp").write_text(line + "\n")
        subprocess.run([str(binary), str(work / "problem.inp"), str(work / "c")], capture_output=True,
                       timeout=timeout, check=True)  # fmt: skip
        return work / "c"
    done = subprocess.run([str(binary)], input=line.encode(), capture_output=True, timeout=timeout, check=True)
    return done.stdout
