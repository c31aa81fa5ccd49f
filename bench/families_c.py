"""The classic C programs of GRIDGEN, GOTO and MNETGEN, built from their public sources when
directories holding them are named by GRIDGEN_C_SOURCE (gridgen.c), GOTO_C_SOURCE (goto.c, and
values.h where the C library has none) and MNETGEN_C_SOURCE (mnetgen.C, the C++ form with drand48
and four files). Their code never enters this tree: it is copied into a scratch directory and
compiled there. Only what they write is used."""

from __future__ import annotations

import hashlib
import os
import shutil
import subprocess
from pathlib import Path

# family: (environment variable, files, compiler, extra arguments)
PROGRAMS: dict[str, tuple[str, tuple[str, ...], str, tuple[str, ...]]] = {
    # Its stream's 32-bit product overflows: -fwrapv keeps the wrapping that its own build (without
    # optimisation) gives, where -O2 alone may widen the product instead.
    "gridgen": ("GRIDGEN_C_SOURCE", ("gridgen.c",), "cc", ("-fwrapv", "-lm")),
    "goto": ("GOTO_C_SOURCE", ("goto.c",), "cc", ("-I.", "-lm")),
    "mnetgen": ("MNETGEN_C_SOURCE", ("mnetgen.C",), "c++", ()),
}


def not_at_hand(family: str) -> str:
    variable, files, _, _ = PROGRAMS[family]
    return f"C program not at hand (set {variable} to a directory holding {', '.join(files)})"


def build(family: str, work: Path) -> Path | None:
    """The program compiled (-O2) into `work`, or None when its source is not at hand or does not
    compile."""
    variable, files, compiler, extra = PROGRAMS[family]
    named = os.environ.get(variable)
    if not named or not all((Path(named) / f).is_file() for f in files) or shutil.which(compiler) is None:
        return None
    work.mkdir(parents=True, exist_ok=True)
    for path in Path(named).iterdir():
        if path.suffix in (".c", ".C", ".h") and path.is_file():
            shutil.copy(path, work / path.name)
    binary = work / family
    argv = [compiler, "-O2", "-w", "-o", str(binary), *(str(work / f) for f in files), *extra]
    done = subprocess.run(argv, capture_output=True, text=True, cwd=work)
    return binary if done.returncode == 0 else None


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
