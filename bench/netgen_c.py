"""The classic C NETGEN (Norbert Schlenker's C version with the 1992 fix), built from its public
source when a directory holding it is named by NETGEN_C_SOURCE (netgen.c, index.c, random.c,
netgen.h). Its code never enters this tree: it is copied into a scratch directory, its compiled
size limits (MAXNODES, MAXARCS) raised so that it takes the sizes measured here, and compiled there.
Only what it prints is used."""

from __future__ import annotations

import hashlib
import os
import re
import shutil
import subprocess
from pathlib import Path

SOURCES = ("netgen.c", "index.c", "random.c", "netgen.h")
# The default raised limits: static arrays that stay under the 2 GiB a medium code model addresses.
MAX_NODES, MAX_ARCS = 8_000_000, 30_000_000
NOT_AT_HAND = "C program not at hand (set NETGEN_C_SOURCE to a directory holding netgen.c, index.c, random.c, netgen.h)"


def source_dir() -> Path | None:
    """The directory NETGEN_C_SOURCE names, when it holds the four files."""
    named = os.environ.get("NETGEN_C_SOURCE")
    if not named or not all((Path(named) / name).is_file() for name in SOURCES):
        return None
    return Path(named)


def build(work: Path, max_nodes: int = MAX_NODES, max_arcs: int = MAX_ARCS) -> Path | None:
    """The C program compiled into `work` (DIMACS output) with those size limits, or None when its
    source is not at hand or does not compile. The program clears its whole supply array for every
    problem, so a timing compiles it with limits fitted to the problem measured."""
    source = source_dir()
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if source is None or compiler is None:
        return None
    work.mkdir(parents=True, exist_ok=True)
    for name in SOURCES:
        text = (source / name).read_text(errors="replace")
        for macro, value in (("MAXNODES", max_nodes), ("MAXARCS", max_arcs)):
            text = re.sub(rf"^#define {macro}\s+\d+", f"#define {macro} {value}", text, flags=re.M)
        (work / name).write_text(text)
    binary = work / "netgen"
    argv = [compiler, "-O2", "-mcmodel=medium", "-DDIMACS", "-w", "-o", str(binary),
            *(str(work / n) for n in SOURCES[:3])]  # fmt: skip
    done = subprocess.run(argv, capture_output=True, text=True)
    return binary if done.returncode == 0 else None


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
