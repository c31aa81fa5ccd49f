"""The native MPS and LP writers against two independent readers: HiGHS reads each file back to the
very model build_model passes it (MPS, where order and names are kept) and to the same optimum
(both formats), and GLPK's glpsol solves both to that optimum, on random data sets with loops,
parallel arcs, isolated nodes, unbalanced supplies and bundles that cannot hold."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_tools_lp import glpsol_objective

import pelmora_tools as pt

GLPSOL = shutil.which("glpsol")


@st.composite
def data_sets(draw: st.DrawFn) -> pt.DataSetArrays:
    n = draw(st.integers(1, 6))
    m = draw(st.integers(1, 10))
    k = draw(st.integers(1, 3))
    ids = np.array(sorted(draw(st.sets(st.integers(-5, 40), min_size=n, max_size=n))), dtype=np.int64)
    ends = st.lists(st.sampled_from(ids.tolist()), min_size=m, max_size=m)
    tails, heads = (np.array(draw(ends), dtype=np.int64) for _ in range(2))

    def ints(low: int, high: int, shape: tuple[int, ...]) -> np.ndarray:
        size = int(np.prod(shape))
        return np.array(draw(st.lists(st.integers(low, high), min_size=size, max_size=size)), dtype=np.int64).reshape(shape)

    supplies = ints(-6, 6, (n, k))
    if draw(st.booleans()):  # mostly balanced, so that many data sets have an optimum
        supplies[0] -= supplies.sum(axis=0)
    low = ints(-2, 4, (m,))
    up = low + ints(-1, 12, (m,))  # sometimes below low: a bundle no flow meets
    return pt.DataSetArrays(ids, tails, heads, low, up, ints(-5, 9, (m, k)), ints(0, 8, (m, k)), supplies)


def read_back(path: Path) -> object:
    import highspy

    highs = highspy.Highs()
    highs.setOptionValue("output_flag", False)
    assert highs.readModel(str(path)) == highspy.HighsStatus.kOk
    return highs


def triplets(lp: object) -> list[tuple[int, int, float]]:
    matrix = lp.a_matrix_  # type: ignore[attr-defined]
    start, index, value = list(matrix.start_), list(matrix.index_), list(matrix.value_)
    return sorted((j, index[e], value[e]) for j in range(len(start) - 1) for e in range(start[j], start[j + 1]))


def same(found: float | None, expected: float | None) -> bool:
    return found == expected if expected is None else found == pytest.approx(expected, rel=1e-9)


def optimum(highs: object) -> float | None:
    highs.run()  # type: ignore[attr-defined]
    status = highs.getModelStatus()  # type: ignore[attr-defined]
    if str(status).endswith("kOptimal"):
        return float(highs.getInfo().objective_function_value)  # type: ignore[attr-defined]
    return None


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data_sets(), st.booleans())
def test_files_read_back_to_the_model_and_its_optimum(arrays: pt.DataSetArrays, bundle: bool) -> None:
    ours = pt.solve(arrays, bundle=bundle)
    expected = ours.objective if ours.status == "optimal" else None
    model = pt.build_model(arrays, bundle=bundle).getLp()
    with tempfile.TemporaryDirectory() as folder:
        for suffix, kind in ((".mps", "--freemps"), (".lp", "--lp")):
            path = Path(folder) / f"model{suffix}"
            pt.write_model(arrays, path, bundle=bundle)
            highs = read_back(path)
            split = bundle and bool((arrays.low > arrays.up).any())
            if suffix == ".mps" and not split:
                read = highs.getLp()  # type: ignore[attr-defined]
                assert (read.num_col_, read.num_row_) == (model.num_col_, model.num_row_)
                for field in ("col_cost_", "col_lower_", "col_upper_", "row_lower_", "row_upper_"):
                    assert list(getattr(read, field)) == list(getattr(model, field)), field
                assert triplets(read) == triplets(model)
            found = optimum(highs)
            assert same(found, expected), (suffix, found, expected)
            if GLPSOL:
                solved = glpsol_objective(path, kind, Path(folder))
                assert same(solved, expected), (suffix, solved, expected)


@pytest.mark.parametrize("suffix", [".mps", ".lp"])
def test_a_negative_capacity_stays_an_empty_range(tmp_path: Path, suffix: str) -> None:
    # Readers free a column from below on a negative upper bound over the default lower bound 0.
    one = np.array([1, 2], dtype=np.int64)
    arrays = pt.DataSetArrays(one, one[:1], one[1:], np.zeros(1, np.int64), np.full(1, 5), np.ones((1, 1), np.int64),
                              np.full((1, 1), -1), np.zeros((2, 1), np.int64))
    assert pt.solve(arrays).status == "infeasible"
    pt.write_model(arrays, tmp_path / f"m{suffix}")
    assert optimum(read_back(tmp_path / f"m{suffix}")) is None


def test_a_closed_pipe_or_a_bad_name_is_one_error_and_leaves_nothing(tmp_path: Path) -> None:
    arrays = pt.load_arrays(Path(__file__).parent / "data" / "own-grid-40x40.min")
    fifo = tmp_path / "pipe.mps"
    os.mkfifo(fifo)
    # A reader that takes 100 bytes and goes: the writer meets a closed pipe.
    head = subprocess.Popen(f"head -c 100 < '{fifo}' > /dev/null", shell=True)
    with pytest.raises(OSError) as raised:
        pt.write_model(arrays, fifo)
    head.wait()
    assert str(fifo) in str(raised.value)
    with pytest.raises(ValueError, match="use a .mps or .lp file name"):
        pt.write_model(arrays, tmp_path / "model.txt")
    with pytest.raises(FileNotFoundError):
        pt.write_model(arrays, tmp_path / "absent" / "model.lp")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["pipe.mps"]
