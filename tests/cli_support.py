"""What the `pelmora` command tests share: the extras they need, the bundled instances, running the
console script, and the multicommodity files the subcommands read."""

import contextlib
import importlib
import json
import os
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from types import ModuleType

import pytest

import pelmora


def need(name: str) -> ModuleType:
    """A package the extras bring (`make test` installs them): missing, it fails under CI and skips elsewhere."""
    return importlib.import_module(name) if os.environ.get("CI") else pytest.importorskip(name)


highspy, _, nx, _ = map(need, ["highspy", "scipy", "networkx", "distributed"])

DATA = Path(__file__).parent / "data"
GLPK = DATA / "glpk-sample.min"
GRID = DATA / "own-grid-40x40.min"
SCRIPT = Path(sys.executable).parent / "pelmora"
METHOD = {"spread": 0, "uniform": 1, "beta-binomial": 2}
# Optima of the bundled instances found by LEMON's network simplex (tests/data/FACTS.md).
LEMON_OPTIMUM = {GLPK: 213, GRID: 27405930}


# The head of a child program that says "solving" on stderr once HiGHS is at work (its first
# interrupt callback), so that a test sends Ctrl-C while the solve runs, however fast the machine.
SOLVE_ANNOUNCED = r"""
import sys
from pelmora_tools import lp
real_run = lp.run_interruptible
def announced(highs, watch=None):
    told = []
    def tell(event):
        if not told:
            told.append(True)
            print("solving", file=sys.stderr, flush=True)
    highs.cbSimplexInterrupt += tell
    highs.cbIpmInterrupt += tell
    highs.cbMipInterrupt += tell
    real_run(highs, watch)
lp.run_interruptible = announced
"""


def pelmora_run(*args: object, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(SCRIPT), *map(str, args)], capture_output=True, text=True, timeout=600, cwd=cwd)


def generated(path: Path, instance: Path, k: int, method: str, **kwargs: object) -> Path:
    network = pelmora.load_min_instance(str(instance))
    data = pelmora.generate_multi_commodity_data(network, k, METHOD[method], **kwargs)
    pelmora.save_multi_commodity_instance(str(path), network, data)
    return path


def data_sets(tmp: Path) -> dict[str, Path]:
    """Multicommodity files: a loose one, one closed too much to be served, a randomised one with parallel arcs."""
    return {
        "loose": generated(tmp / "loose.mcf", GLPK, 3, "spread", seed=5),
        "closed": generated(tmp / "closed.mcf", GLPK, 3, "spread", cap_zero=True, cap_zero_param=0.6),
        "parallel": generated(
            tmp / "parallel.mcf", DATA / "own-net-parallel-300n-9000a.min", 2, "beta-binomial", randomize_caps=True,
            randomize_costs=True, cap_zero=True, cap_zero_param=0.1, seed=3,
        ),
    }


@contextlib.contextmanager
def running_cluster(tmp_path: Path, workers: int = 1) -> Iterator[str]:
    """A scheduler and `workers` (0 or 1) worker in their own processes, on 127.0.0.1; yields the
    scheduler's address."""
    info = tmp_path / "scheduler.json"
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=tmp_path)
    scheduler = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
         "--no-dashboard", "--scheduler-file", str(info)], **quiet,
    )
    worker = None
    try:
        deadline = time.monotonic() + 300  # a hang guard: the scheduler says when it is up
        while not info.exists() or not info.read_text().strip():
            assert scheduler.poll() is None and time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.1)
        worker = None if not workers else subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file", str(info), "--nworkers", "1",
             "--nthreads", "1", "--no-nanny", "--host", "127.0.0.1", "--no-dashboard"], **quiet,
        )
        yield json.loads(info.read_text())["address"]
    finally:
        for proc in (worker, scheduler):
            if proc is not None:
                proc.terminate()
                proc.wait(timeout=60)
