"""The feasible mode's congestion knob: hot arcs as documented, certificates feasible at every C,
C = 0 the data set without the knob, bad values refused in one line."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import pytest
from cli_support import DATA, pelmora_run
from test_feasible import assert_feasible_flow, lp_optimum

import pelmora
import pelmora_tools as pt


@pytest.mark.parametrize("name", ["glpk-sample.min", "own-net-parallel-300n-9000a.min"])
def test_hot_arcs_are_cheaper_capped_at_the_certificate_and_nested(name: str, tmp_path: Path) -> None:
    instance = pelmora.load_min_instance(str(DATA / name))
    up = np.array([e.up for e in instance.edges], dtype=np.int64)
    made = {c: pt.generate_feasible(instance, 3, "uniform", seed=2, costs=(0.5, 1.5), close=0.2, congestion=c)
            for c in (0.0, 0.5, 1.0)}
    plain = pt.generate_feasible(instance, 3, "uniform", seed=2, costs=(0.5, 1.5), close=0.2)
    plain.save(tmp_path / "plain.mcf")
    made[0.0].save(tmp_path / "zero.mcf")
    assert (tmp_path / "plain.mcf").read_bytes() == (tmp_path / "zero.mcf").read_bytes()
    base = made[0.0].arrays
    hot = {}
    for c, data in made.items():
        a, x = data.arrays, data.certificate
        np.testing.assert_array_equal(x, made[0.0].certificate)  # the knob never moves the certificate
        assert_feasible_flow(a, x)
        assert pt.verify_certificate(a, x) is None
        optimum = lp_optimum(a)
        assert optimum is not None and optimum <= data.cost + 1e-6 * abs(data.cost)
        hot[c] = np.flatnonzero((a.costs != base.costs).any(axis=1) | (a.up != base.up))
        total = x.sum(axis=1)
        np.testing.assert_array_equal(a.up[hot[c]], total[hot[c]])
        caps, closed = a.capacities[hot[c]], (a.capacities[hot[c]] == 0) & (x[hot[c]] == 0)
        assert (total[hot[c]] > 0).all() and ((caps >= up[hot[c], None]) | closed).all()
        assert (a.costs <= base.costs).all()
        shrunk = base.costs[hot[c]] - np.floor(c * np.abs(base.costs[hot[c]])).astype(np.int64)
        np.testing.assert_array_equal(a.costs[hot[c]], shrunk)
        assert data.cost == int((x.astype(object) * a.costs.astype(object)).sum())
    assert hot[0.0].size == 0 and set(hot[0.5]) <= set(hot[1.0]) and hot[1.0].size > 0


@pytest.mark.parametrize("value", [-0.1, 1.5, math.nan])
def test_bad_congestion_is_refused(value: float, tmp_path: Path) -> None:
    instance = pelmora.load_min_instance(str(DATA / "glpk-sample.min"))
    with pytest.raises(ValueError, match="congestion must lie in"):
        pt.generate_feasible(instance, 2, "spread", congestion=value)
    done = pelmora_run("generate", DATA / "glpk-sample.min", tmp_path / "o.mcf", "-k", 2, "--method", "spread",
                       "--feasible", "--congestion", value)
    assert done.returncode == 2 and "--congestion" in done.stderr and len(done.stderr.splitlines()) == 1
    alone = pelmora_run("generate", DATA / "glpk-sample.min", tmp_path / "o.mcf", "-k", 2, "--method", "spread",
                        "--congestion", 0.5)
    assert alone.returncode == 2 and "--congestion applies with --feasible only" in alone.stderr
    assert len(alone.stderr.splitlines()) == 1 and not (tmp_path / "o.mcf").exists()
