"""The command's start-up: Ctrl-C at any of its imports ends in one line and status 130, never a
traceback; a command loads no other command's modules, and --version and --help load no NumPy.

Each child runs the console script's two lines under an import hook that, when the named module is
about to be imported, says so on standard output and waits for the signal: the interrupt lands
exactly there, with no timing involved."""

from __future__ import annotations

import json
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from pelmora_tools.cli import COMMANDS

DATA = Path(__file__).parent / "data"
SAMPLE = str(DATA / "glpk-sample.min")

CHILD = """
import importlib.abc, os, signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)  # as an interactive shell leaves it
class Pause(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == WHERE:
            sys.meta_path.remove(self)
            os.write(1, b"ready\\n")
            signal.pause()
        return None
WHERE = sys.argv[1]
sys.argv = ["pelmora", *sys.argv[2:]]
sys.meta_path.insert(0, Pause())
from pelmora_tools.cli import main
sys.exit(main())
"""

# (where the interrupt lands: the module about to be imported, the command's arguments)
POINTS = [
    ("argparse", ["--version"]),
    ("pelmora_tools.cli._args", ["netgen", "--help"]),
    ("pelmora_tools.cli.netgen", ["netgen", "--help"]),
    ("pelmora_tools.netgen", ["netgen", "--nodes", "10", "--arcs", "20", "--seed", "1", "--sources", "2",
                              "--sinks", "2", "--cost", "1", "9", "--supply", "20", "--hicost", "0",
                              "--capacitated", "100", "--caps", "1", "5", "/dev/null"]),
    ("numpy", ["info", SAMPLE]),
    ("highspy", ["solve", SAMPLE]),
    ("distributed", ["sweep", SAMPLE, "-k", "2", "--methods", "uniform", "--seeds", "1", "--out", "/nonexistent-out"]),
]


@pytest.mark.parametrize("where, argv", POINTS, ids=[point[0] for point in POINTS])
def test_ctrl_c_during_start_up_is_one_line_and_status_130(where: str, argv: list[str]) -> None:
    child = subprocess.Popen([sys.executable, "-c", CHILD, where, *argv], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    assert child.stdout is not None
    ready = child.stdout.readline()
    if ready != "ready\n":  # the point was never reached: say why
        out, err = child.communicate(timeout=60)
        pytest.fail(f"{where} was not imported: {ready + out!r} {err!r}")
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=60)
    assert child.returncode == 130, err
    assert len(err.splitlines()) == 1 and err.startswith("pelmora") and err.endswith(": interrupted\n"), err


PROBE = """
import json, sys
sys.argv = ["pelmora", *sys.argv[1:]]
from pelmora_tools.cli import main
try:
    main()
except SystemExit:
    pass
print(json.dumps(sorted(sys.modules)), file=sys.stderr)
"""


@pytest.mark.parametrize("argv", [["--version"], *([name, "--help"] for name in COMMANDS)])
def test_start_up_loads_only_what_the_command_needs(argv: list[str]) -> None:
    done = subprocess.run([sys.executable, "-c", PROBE, *argv], capture_output=True, text=True, timeout=60)
    loaded = set(json.loads(done.stderr.splitlines()[-1]))
    heavy = {"numpy", "highspy", "dask", "distributed", "scipy", "ortools", "importlib.metadata"}
    assert not heavy & loaded, heavy & loaded
    others = {f"pelmora_tools.cli.{name}" for name in COMMANDS}
    asked = {f"pelmora_tools.cli.{argv[0]}"} if not argv[0].startswith("-") else set()
    assert others & loaded == asked
