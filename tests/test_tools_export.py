"""The four mnetgen files, read back by a reader written here from the format's published description
(Frangioni's mnetgen.C header): ".nod" holds commodities, nodes, arcs and mutual capacities, one a
line; ".arc" one tab-separated line per arc and commodity (name, from, to, commodity, cost, capacity
with -1 for none, mutual-capacity pointer with 0 for none); ".sup" node, commodity, supply; ".mut"
pointer, mutual capacity."""

from __future__ import annotations

import re
import subprocess
import sys
from collections import defaultdict
from pathlib import Path

import numpy as np
import pytest
import scipy.optimize
import scipy.sparse
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelmora
import pelmora_tools as pt

DATA = Path(__file__).parent / "data"


def read_mnetgen(prefix: Path) -> dict:
    def rows(suffix: str) -> list[list[int]]:
        text = prefix.with_name(prefix.name + suffix).read_text()
        # Plain decimal integers (no padding, no leading zeros) joined by single tabs, every line ended.
        assert re.fullmatch(r"(-?(0|[1-9][0-9]*)(\t-?(0|[1-9][0-9]*))*\n)*", text), suffix
        return [[int(field) for field in line.split("\t")] for line in text.splitlines()]

    k, n, arcs, mutuals = (row[0] for row in rows(".nod"))
    lines = rows(".arc")
    assert all(len(line) == 7 for line in lines)
    mut = dict(rows(".mut"))
    assert len(mut) == mutuals and all(1 <= p <= mutuals for p in mut)
    supply: dict[tuple[int, int], int] = defaultdict(int)
    for node, commodity, amount in rows(".sup"):
        supply[node, commodity] += amount
    return {"k": k, "n": n, "arcs": arcs, "lines": lines, "mut": mut, "supply": supply}


def lp_from_files(files: dict) -> tuple[str, float | None]:
    """The multicommodity LP as the files define it, solved by scipy's linprog."""
    k, n, lines, mut = files["k"], files["n"], files["lines"], files["mut"]
    if not lines:
        return ("optimal", 0.0) if not any(files["supply"].values()) else ("infeasible", None)
    rows, cols, vals = [], [], []
    for j, (_, tail, head, commodity, _, _, _) in enumerate(lines):
        if tail != head:
            rows += [(commodity - 1) * n + tail - 1, (commodity - 1) * n + head - 1]
            cols += [j, j]
            vals += [1.0, -1.0]
    a_eq = scipy.sparse.csr_array((vals, (rows, cols)), shape=(n * k, len(lines)))
    b_eq = np.zeros(n * k)
    for (node, commodity), amount in files["supply"].items():
        b_eq[(commodity - 1) * n + node - 1] = amount
    pointers = sorted(mut)
    where = {p: i for i, p in enumerate(pointers)}
    shared = [(where[line[6]], j) for j, line in enumerate(lines) if line[6]]
    a_ub = scipy.sparse.csr_array(
        ([1.0] * len(shared), ([r for r, _ in shared], [c for _, c in shared])), shape=(len(pointers), len(lines))
    )
    bounds = [(0, None if line[5] == -1 else line[5]) for line in lines]
    costs = [line[4] for line in lines]
    result = scipy.optimize.linprog(
        costs, A_ub=a_ub if pointers else None, b_ub=[mut[p] for p in pointers] if pointers else None,
        A_eq=a_eq, b_eq=b_eq, bounds=bounds, method="highs",
    )  # fmt: skip
    return ("optimal", float(result.fun)) if result.status == 0 else ("infeasible" if result.status == 2 else "other", None)


def assert_files_hold(arrays: pt.DataSetArrays, prefix: Path, mapping: np.ndarray) -> dict:
    files = read_mnetgen(prefix)
    assert np.array_equal(mapping, arrays.node_ids)
    assert (files["k"], files["n"], files["arcs"]) == (arrays.num_commodities, arrays.num_nodes, arrays.num_arcs)
    seen = {}
    for name, tail, head, commodity, cost, capacity, pointer in files["lines"]:
        a, c = name - 1, commodity - 1
        assert (mapping[tail - 1], mapping[head - 1]) == (arrays.tails[a], arrays.heads[a])
        assert (cost, capacity) == (arrays.costs[a, c], arrays.capacities[a, c])
        assert files["mut"][pointer] == arrays.up[a]
        seen[a, c] = True
    assert set(seen) == {tuple(x) for x in np.argwhere(arrays.capacities > 0)}
    nonzero = {(i + 1, c + 1): int(arrays.supplies[i, c]) for i, c in np.argwhere(arrays.supplies != 0)}
    assert dict(files["supply"]) == nonzero
    return files


@st.composite
def data_sets(draw: st.DrawFn, lows: bool = False) -> pt.DataSetArrays:
    highest = draw(st.sampled_from([200, 10**12]))  # ids filling their range, or spread far apart
    ids = np.array(sorted(draw(st.sets(st.integers(-50, highest), min_size=1, max_size=8))), dtype=np.int64)
    n, k = ids.size, draw(st.integers(1, 3))
    m = draw(st.integers(0, 14))
    ends = st.lists(st.sampled_from(ids.tolist()), min_size=m, max_size=m)
    ints = lambda lo, hi, shape: np.array(draw(st.lists(st.integers(lo, hi), min_size=int(np.prod(shape)), max_size=int(np.prod(shape)))), dtype=np.int64).reshape(shape)  # noqa: E731
    supplies = ints(-12, 12, (n, k))
    supplies[-1] -= supplies.sum(axis=0)  # every commodity balanced, as generation makes them
    up = ints(0, 40, (m,))
    low = np.minimum(ints(0, 6, (m,)), up) if lows else np.zeros(m, dtype=np.int64)
    return pt.DataSetArrays(
        ids, np.array(draw(ends), dtype=np.int64), np.array(draw(ends), dtype=np.int64), low,
        up, ints(-9, 120, (m, k)), ints(0, 25, (m, k)), supplies,
    )  # fmt: skip


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(arrays=data_sets())
def test_any_data_set_reads_back_and_solves_alike(tmp_path: Path, arrays: pt.DataSetArrays) -> None:
    prefix = tmp_path / "case"
    files = assert_files_hold(arrays, prefix, pt.export_mnetgen(arrays, prefix))
    ours = pt.solve(arrays)
    status, objective = lp_from_files(files)
    assert ours.status == status
    if status == "optimal":
        assert ours.objective == pytest.approx(objective, rel=1e-9, abs=1e-6)


@pytest.mark.parametrize(
    "name, k, method, options",
    [
        ("own-net-parallel-300n-9000a.min", 4, 0, {"randomize_caps": True, "randomize_costs": True}),
        ("own-net-4000n-11000a-negcost.min", 2, 2, {"cap_zero": True, "cap_zero_param": 0.2}),
    ],
)
def test_generated_data_sets_read_back_and_solve_alike(tmp_path: Path, name: str, k: int, method: int, options: dict) -> None:
    instance = pelmora.load_min_instance(str(DATA / name))
    arrays = pt.arrays_from_data(instance, pelmora.generate_multi_commodity_data(instance, k, method, seed=5, **options))
    prefix = tmp_path / "set"
    files = assert_files_hold(arrays, prefix, pt.export_mnetgen(arrays, prefix, write_map=True))
    mapped = [line.split("\t") for line in (tmp_path / "set.map").read_text().splitlines()]
    assert [(int(i), int(node)) for i, node in mapped] == list(enumerate(arrays.node_ids.tolist(), start=1))
    ours = pt.solve(arrays)
    status, objective = lp_from_files(files)
    assert ours.status == status
    if status == "optimal":
        assert ours.objective == pytest.approx(objective, rel=1e-9)


def test_a_lower_bound_is_refused_naming_the_first_arc(tmp_path: Path) -> None:
    arrays = pt.load_arrays(DATA / "glpk-sample.min")
    with pytest.raises(ValueError, match=r"^arc 5 \(3 -> 5\) has lower bound 2;"):
        pt.export_mnetgen(arrays, tmp_path / "x")
    assert not list(tmp_path.iterdir())


def test_a_file_that_cannot_be_created_is_named(tmp_path: Path) -> None:
    arrays = pt.load_arrays(DATA / "own-grid-40x40.min")
    with pytest.raises(FileNotFoundError) as error:
        pt.export_mnetgen(arrays, tmp_path / "missing" / "x")
    assert error.value.filename == str(tmp_path / "missing" / "x.nod")
    (tmp_path / "x.arc").mkdir()  # the second file cannot be opened for writing
    with pytest.raises(IsADirectoryError):
        pt.export_mnetgen(arrays, tmp_path / "x")


INTERRUPTED = r"""
import os, signal, sys, threading, time
import pelmora_tools as pt
signal.signal(signal.SIGINT, signal.default_int_handler)
arrays = pt.load_arrays(sys.argv[2])
fifo = sys.argv[3]
os.mkfifo(fifo + ".nod")
os.mkfifo(fifo + ".mcf")
call = {"export": lambda: pt.export_mnetgen(arrays, fifo), "read": lambda: pt.arrays_from_file(fifo + ".mcf")}[sys.argv[1]]
caller = threading.get_native_id()
def send():  # once the kernel holds the call in the open, waiting for the FIFO's other end
    while open(f"/proc/self/task/{caller}/wchan").read() != "wait_for_partner":
        time.sleep(0.001)
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)  # the caller, blocked in the call
try:
    threading.Thread(target=send, daemon=True).start()
    call()  # each waits in the open of a FIFO nobody opens from the other end
except KeyboardInterrupt:
    print("interrupted")
"""


@pytest.mark.parametrize("call", ["export", "read"])
def test_ctrl_c_stops_a_native_call_waiting_on_a_fifo(tmp_path: Path, call: str) -> None:
    done = subprocess.run(
        [sys.executable, "-c", INTERRUPTED, call, str(DATA / "own-grid-40x40.min"), str(tmp_path / "fifo")],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert done.returncode == 0 and done.stdout == "interrupted\n", done.stderr
