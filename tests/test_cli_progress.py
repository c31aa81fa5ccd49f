"""Progress under a pseudo-terminal: drawn on standard error when it is a terminal, never on
standard output, never with --quiet, and never into a pipe; a command that writes files ends with
one line naming them."""

from __future__ import annotations

import fcntl
import os
import pty
import struct
import subprocess
import termios

import pytest
from cli_support import DATA, GLPK, SCRIPT
from test_cli_families import MNETGEN


def run_on_terminal(*args: object) -> tuple[int, str, str]:
    """The command with standard error on a pseudo-terminal and standard output on a pipe: (status,
    what the terminal showed, standard output)."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a terminal's size, not 0 x 0
    child = subprocess.Popen([str(SCRIPT), *map(str, args)], stdout=subprocess.PIPE, stderr=slave, text=True)
    os.close(slave)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal's other side closed: the command has ended
            break
        if not chunk:
            break
        shown += chunk
    out, _ = child.communicate(timeout=600)
    os.close(master)
    return child.returncode, shown.decode(), out


@pytest.mark.parametrize("command, drawn", [
    (["solve", DATA / "own-net-5000n-12500a.min"], "HiGHS: 12,500 columns"),
    (["info", DATA / "own-net-5000n-12500a.min", "--check"], "check: each commodity alone"),
    (["sweep", GLPK, "-k", "1,2", "--methods", "uniform", "--seeds", "1-2", "--workers", "1", "--out", "{tmp}"],
     "4/4"),
    (["generate", GLPK, "{tmp}.mcf", "-k", "2", "--method", "uniform", "--feasible"], "decompose, split among 2"),
    (["export", f"mnetgen:{MNETGEN}", "{tmp}.lp", "--to", "lp"], "write "),
    (["netgen", "{tmp}.min", "--params", "1 1 50 5 5 200 1 100 1000 0 0 30 100 1 1000"], "write "),
])
def test_progress_on_a_terminal_never_on_stdout_nor_with_quiet_or_a_pipe(tmp_path, command, drawn):
    def argv(run: str) -> list[str]:
        return [str(arg).replace("{tmp}", str(tmp_path / run)) for arg in command]

    status, shown, out = run_on_terminal(*argv("a"))
    assert status == 0 and drawn in shown and "\r" in shown, shown
    assert "\r" not in out and drawn not in out
    status, shown, _ = run_on_terminal(*argv("b"), "--quiet")
    assert status == 0 and drawn not in shown and "\r" not in shown, shown
    piped = subprocess.run([str(SCRIPT), *argv("c")], capture_output=True, text=True, timeout=600)
    assert piped.returncode == 0 and "\r" not in piped.stderr and drawn not in piped.stderr, piped.stderr


def test_a_command_that_writes_files_names_them_in_one_line(tmp_path):
    out = tmp_path / "net.mcf"
    done = subprocess.run([str(SCRIPT), "generate", GLPK, out, "-k", "3", "--method", "uniform"],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0 and done.stdout == ""
    assert done.stderr.startswith(f"wrote {out} (") and done.stderr.endswith(": 3 commodities over 14 arcs\n")
    assert len(done.stderr.splitlines()) == 1, done.stderr
