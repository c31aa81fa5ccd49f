"""Progress on standard error while a long step runs: drawn by tqdm, and only when standard error
is a terminal and neither --quiet nor --json was given, so that nothing is ever drawn into a file,
a pipe or output meant for machines.

tqdm rather than rich: one small pure-Python package that imports in a few milliseconds, draws on
any stream it is given (standard error here), and stays out of the way of output it does not
draw. The rest of the command's output is plain text, which rich's strengths would not serve."""

from __future__ import annotations

import sys

TYPE_CHECKING = False  # typing's, without importing typing before a command needs it
if TYPE_CHECKING:
    import argparse
    from typing import Any


def bar(args: argparse.Namespace, **options: Any) -> Any | None:
    """A tqdm bar on standard error (``options`` as tqdm takes them), or None where progress is not
    drawn: --quiet, --json, standard error not a terminal, or tqdm not installed."""
    if getattr(args, "quiet", False) or getattr(args, "json", False) or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(file=sys.stderr, dynamic_ncols=True, leave=False, **options)


def done(args: argparse.Namespace, line: str) -> None:
    """The one line a command that wrote files ends with (on standard error), unless --quiet."""
    if not getattr(args, "quiet", False):
        print(line, file=sys.stderr, flush=True)


def sizes(*paths: str) -> str:
    """Each path with its size ("out.mcf (1.2 MB)"), joined by commas; a path that is not a regular
    file (a pipe) without one."""
    import os
    import stat

    named = []
    for path in paths:
        try:
            info = os.stat(path)
        except OSError:
            info = None
        size = f" ({_bytes(info.st_size)})" if info is not None and stat.S_ISREG(info.st_mode) else ""
        named.append(f"{path}{size}")
    return ", ".join(named)


def _bytes(count: int) -> str:
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if count >= scale:
            return f"{count / scale:.1f} {unit}"
    return f"{count} bytes"
