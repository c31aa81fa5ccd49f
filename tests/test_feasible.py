"""The feasible mode against references built here: an LP in scipy (not the package's model),
a certificate check in NumPy, networkx's network simplex as a second flow solver, and the
module's own reader for the files."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from scipy.optimize import linprog

import pelmora
import pelmora_tools as pt

DATA = Path(__file__).parent / "data"
METHODS = ["spread", "uniform", "beta-binomial"]


def lp_optimum(arrays: pt.DataSetArrays) -> float | None:
    """The multicommodity min-cost flow LP built from the arrays alone; None when infeasible."""
    m, k, n = arrays.num_arcs, arrays.num_commodities, arrays.num_nodes
    cols = np.arange(m * k).reshape(m, k)
    t, h = arrays.node_index(arrays.tails), arrays.node_index(arrays.heads)
    rows = np.concatenate([(t[:, None] * k + np.arange(k)).ravel(), (h[:, None] * k + np.arange(k)).ravel()])
    vals = np.concatenate([np.ones(m * k), -np.ones(m * k)])
    a_eq = sp.csr_array((vals, (rows, np.concatenate([cols.ravel(), cols.ravel()]))), shape=(n * k, m * k))
    bundle = sp.csr_array((np.ones(m * k), (np.repeat(np.arange(m), k), cols.ravel())), shape=(m, m * k))
    result = linprog(
        arrays.costs.ravel().astype(float),
        A_ub=sp.vstack([bundle, -bundle]),
        b_ub=np.concatenate([arrays.up, -arrays.low]).astype(float),
        A_eq=a_eq,
        b_eq=arrays.supplies.ravel().astype(float),
        bounds=np.stack([np.zeros(m * k), arrays.capacities.ravel()], axis=1),
        method="highs",
    )
    return float(result.fun) if result.status == 0 else None


def assert_feasible_flow(arrays: pt.DataSetArrays, x: np.ndarray) -> None:
    """The certificate checked in NumPy, independently of the native check."""
    assert x.shape == arrays.capacities.shape and x.dtype == np.int64
    assert ((x >= 0) & (x <= arrays.capacities)).all()
    total = x.sum(axis=1)
    assert ((total >= arrays.low) & (total <= arrays.up)).all()
    net = np.zeros_like(arrays.supplies)
    np.add.at(net, arrays.node_index(arrays.tails), x)
    np.subtract.at(net, arrays.node_index(arrays.heads), x)
    np.testing.assert_array_equal(net, arrays.supplies)


@pytest.mark.parametrize("name", ["glpk-sample.min", "own-net-parallel-300n-9000a.min"])
@pytest.mark.parametrize("k", [1, 4])
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(("close", "costs", "caps"), [(None, None, None), (0.3, (0.8, 1.2), (0.5, 1.0))])
@pytest.mark.parametrize("seed", [5, 6])
def test_every_data_set_is_feasible_and_the_certificate_bounds_the_optimum(
    seed: int,
    name: str,
    k: int,
    method: str,
    close: float | None,
    costs: tuple[float, float] | None,
    caps: tuple[float, float] | None,
    tmp_path: Path,
) -> None:
    instance = pelmora.load_min_instance(str(DATA / name))
    made = pt.generate_feasible(instance, k, method, seed=seed, close=close, costs=costs, caps=caps)
    assert_feasible_flow(made.arrays, made.certificate)
    assert pt.verify_certificate(made.arrays, made.certificate) is None
    assert made.cost == int((made.certificate.astype(object) * made.arrays.costs.astype(object)).sum())
    optimum = lp_optimum(made.arrays)
    assert optimum is not None and optimum <= made.cost + 1e-6 * abs(made.cost)
    if made.optimal:
        assert optimum == pytest.approx(made.cost, rel=1e-9)
    # The file is the module's: read back unchanged, and the same arguments give the same bytes.
    made.save(tmp_path / "a.mcf")
    pt.generate_feasible(instance, k, method, seed=seed, close=close, costs=costs, caps=caps).save(tmp_path / "b.mcf")
    assert (tmp_path / "a.mcf").read_bytes() == (tmp_path / "b.mcf").read_bytes()
    pelmora.load_multi_commodity_instance(str(tmp_path / "a.mcf"))
    again = pt.arrays_from_file(tmp_path / "a.mcf")
    for field in ("low", "up", "costs", "capacities", "supplies"):
        np.testing.assert_array_equal(getattr(again, field), getattr(made.arrays, field))
    if close:
        unused = int((made.certificate == 0).sum())
        assert made.closed == min(made.requested, unused) and made.requested == math.floor(
            close * made.certificate.size
        )
        closed = made.arrays.capacities == 0
        assert int(closed.sum()) >= made.closed and not (closed & (made.certificate > 0)).any()
    if method == "uniform":  # equal shares at every supply node
        supply = made.arrays.supplies[made.arrays.supplies.sum(axis=1) > 0]
        assert (supply.max(axis=1) - supply.min(axis=1) <= 1).all()


@pytest.mark.parametrize("name", ["own-grid-40x40.min", "own-net-parallel-300n-9000a.min"])
def test_two_flow_solvers_give_the_same_bytes(name: str, tmp_path: Path) -> None:
    instance = pelmora.load_min_instance(str(DATA / name))
    for solver in ("ortools", "networkx"):
        made = pt.generate_feasible(instance, 3, "spread", seed=2, close=0.2, solver=solver)
        made.save(tmp_path / f"{solver}.mcf")
        made.save_certificate(tmp_path / f"{solver}.npy")
    assert (tmp_path / "ortools.mcf").read_bytes() == (tmp_path / "networkx.mcf").read_bytes()
    assert (tmp_path / "ortools.npy").read_bytes() == (tmp_path / "networkx.npy").read_bytes()


def test_tighter_is_never_cheaper_and_full_tightness_meets_the_certificate() -> None:
    instance = pelmora.load_min_instance(str(DATA / "own-net-parallel-300n-9000a.min"))
    optima = []
    for tightness in (0.0, 0.5, 1.0):
        made = pt.generate_feasible(instance, 3, "beta-binomial", seed=9, costs=(0.5, 1.5), tightness=tightness)
        assert_feasible_flow(made.arrays, made.certificate)
        optimum = lp_optimum(made.arrays)
        assert optimum is not None
        optima.append(optimum)
    used = made.certificate.sum(axis=1) > 0
    np.testing.assert_array_equal(made.arrays.up[used], made.certificate.sum(axis=1)[used])
    np.testing.assert_array_equal(made.arrays.up[~used], instance_up(instance)[~used])
    assert optima[0] <= optima[1] + 1e-6 and optima[1] <= optima[2] + 1e-6


def instance_up(instance: pelmora.NetworkInstance) -> np.ndarray:
    return np.array([e.up for e in instance.edges], dtype=np.int64)


def test_the_concentration_moves_the_heterogeneity() -> None:
    instance = pelmora.load_min_instance(str(DATA / "own-net-5000n-12500a.min"))

    def score(concentration: float) -> float:
        made = pt.generate_feasible(instance, 5, "beta-binomial", seed=1, concentration=concentration)
        rows = made.arrays.supplies
        keep = rows.sum(axis=1) != 0
        partition = {int(i): r.tolist() for i, r in zip(made.arrays.node_ids[keep], rows[keep])}
        return pelmora.compute_commodity_demand_heterogeneity(partition, instance.supplies)

    assert score(0.1) > score(3.0) > score(100.0)


def min_lines(n: int, supplies: dict[int, int], arcs: list[tuple[int, int, int, int, int]]) -> list[str]:
    lines = [f"p min {n} {len(arcs)}"]
    lines += [f"n {v} {s}" for v, s in supplies.items() if s]
    lines += [f"a {t} {h} {lo} {up} {c}" for t, h, lo, up, c in arcs]
    return lines


@st.composite
def small_networks(draw: st.DrawFn) -> tuple[int, dict[int, int], list[tuple[int, int, int, int, int]]]:
    n = draw(st.integers(2, 6))
    node = st.integers(1, n)
    arcs = draw(
        st.lists(
            st.tuples(node, node, st.integers(0, 3), st.integers(0, 9), st.integers(-4, 9)).map(
                lambda a: (a[0], a[1], min(a[2], a[3]), a[3], a[4])
            ),
            min_size=1,
            max_size=14,
        )
    )
    amounts = draw(st.lists(st.integers(-6, 6), min_size=n - 1, max_size=n - 1))
    supplies = dict(enumerate([*amounts, -sum(amounts)], start=1))
    return n, supplies, arcs


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(small_networks(), st.integers(1, 4), st.sampled_from(METHODS), st.integers(0, 3))
def test_small_networks_with_bounds_loops_and_cycles(min_file, network, k, method, seed) -> None:
    instance = pelmora.load_min_instance(min_file(min_lines(*network)))
    single = lp_optimum(pt.arrays_from_min(instance))
    try:
        made = pt.generate_feasible(instance, k, method, seed=seed, close=0.5, solver="networkx")
    except pt.NoFeasibleFlow:
        assert single is None
        return
    assert single is not None
    assert_feasible_flow(made.arrays, made.certificate)
    optimum = lp_optimum(made.arrays)
    assert optimum is not None and optimum <= made.cost + 1e-9


@pytest.mark.parametrize(
    ("lines", "arguments", "message"),
    [
        (None, {"num_commodities": 0}, "at least 1"),
        (None, {"tightness": 1.5}, "tightness"),
        (None, {"tightness": math.nan}, "tightness"),
        (None, {"close": 1.0}, "closing fraction"),
        (None, {"close": -0.1}, "closing fraction"),
        (None, {"concentration": 0.0}, "concentration"),
        (None, {"concentration": math.inf}, "concentration"),
        (None, {"method": "even"}, "unknown method"),
        (["p min 2 1", "n 1 5", "n 2 -3", "a 1 2 0 9 1"], {}, "do not balance: they add up to 2"),
        (
            ["p min 4 1", f"n 1 {2**62}", f"n 2 {2**62}", f"n 3 -{2**62}", f"n 4 -{2**62}", "a 1 3 0 9 1"],
            {},
            r"pass 2\^63 - 1",
        ),
    ],
)
def test_refusals(lines, arguments, message, min_file) -> None:
    path = min_file(lines) if lines else str(DATA / "glpk-sample.min")
    call = {"num_commodities": 2, "method": "spread"} | arguments
    with pytest.raises(ValueError, match=message):
        pt.generate_feasible(pelmora.load_min_instance(path), **call)


def test_an_instance_without_a_feasible_flow_is_refused(min_file) -> None:
    instance = pelmora.load_min_instance(min_file(["p min 2 1", "n 1 5", "n 2 -5", "a 1 2 0 4 1"]))
    with pytest.raises(pt.NoFeasibleFlow):
        pt.generate_feasible(instance, 2, "uniform")


@pytest.mark.parametrize(
    ("change", "check"),
    [
        (lambda x, a, j: x.__setitem__((j, 0), x[j, 0] + 1), "conservation"),
        (lambda x, a, j: x.__setitem__((j, 1), -1), "commodity bound"),
        (lambda x, a, j: a.capacities.__setitem__((j, 0), x[j, 0] - 1), "commodity bound"),
        (lambda x, a, j: a.up.__setitem__(j, x[j].sum() - 1), "mutual bound"),
        (lambda x, a, j: a.low.__setitem__(j, x[j].sum() + 1), "mutual bound"),
    ],
)
def test_the_check_names_what_fails(change, check) -> None:
    instance = pelmora.load_min_instance(str(DATA / "glpk-sample.min"))
    made = pt.generate_feasible(instance, 2, "uniform", solver="networkx")
    x = made.certificate.copy()
    j = int(np.flatnonzero((x > 0).all(axis=1))[0])
    change(x, made.arrays, j)
    failure = pt.verify_certificate(made.arrays, x)
    assert failure is not None and failure.startswith(check)
    assert f"arc {j} " in failure or "at node" in failure
