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


# How often a running step's bar is redrawn: often enough to look alive, rarely enough to cost nothing.
_TICK = 0.25


def _io_bytes(field: str) -> int | None:
    """The process's bytes read or written so far ("rchar" or "wchar" of /proc/self/io: every
    thread's reads and writes, the native writers' own threads included), or None where the system
    does not say."""
    try:
        with open("/proc/self/io", encoding="ascii") as counts:
            for line in counts:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


class _Ticker:
    """Redraws a bar from a thread while the main thread is inside a long native call (which lets
    other threads run), with the bytes moved since it began when it counts them."""

    def __init__(self, shown: Any, field: str | None) -> None:
        import threading

        self.shown, self.field = shown, field
        self.start = _io_bytes(field) if field else None
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        while not self.stop.wait(_TICK):
            self.update()

    def update(self) -> None:
        if self.field and self.start is not None and (now := _io_bytes(self.field)) is not None:
            self.shown.n = now - self.start
        self.shown.refresh()

    def close(self) -> None:
        self.stop.set()
        self.thread.join()
        self.shown.close()


class Steps:
    """The steps of one command, each drawn while it runs: its name, the time it has taken and,
    for reading or writing, the bytes moved so far. Nothing is drawn where ``bar`` draws nothing."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.current: _Ticker | None = None

    def __call__(self, name: str, *, moving: str | None = None) -> None:
        """Begins the step ``name`` (ending the one before); ``moving`` is "read" or "written" when
        the step's work is moving bytes, which the bar then counts."""
        self.end()
        field = {"read": "rchar", "written": "wchar", None: None}[moving]
        layout = "{desc} {n_fmt}B [{elapsed}, {rate_fmt}]" if field else "{desc} [{elapsed}]"
        shown = bar(self.args, desc=name, unit="B", unit_scale=True, bar_format=layout)
        if shown is not None:
            self.current = _Ticker(shown, field)

    def end(self) -> None:
        if self.current is not None:
            self.current.close()
            self.current = None

    def __enter__(self) -> Steps:
        return self

    def __exit__(self, *exc: object) -> None:
        self.end()
