"""`pelmora generate --feasible`, the certificate on `info --check` and `solve`, and `sweep --feasible`."""

import csv
from pathlib import Path
from unittest import mock

import numpy as np
import pytest
from cli_support import DATA, GLPK, LEMON_OPTIMUM, pelmora_run
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import pelmora
import pelmora_tools as pt
from pelmora_tools.cli import _certificate

PARALLEL = DATA / "own-net-parallel-300n-9000a.min"


def test_generate_writes_what_the_library_writes_and_solve_meets_the_certificate(tmp_path: Path) -> None:
    flags = ["-k", 3, "--method", "beta-binomial", "--seed", 4, "--close", 0.2, "--tightness", 0.5, "--keep-costs"]
    done = pelmora_run(
        "generate", PARALLEL, tmp_path / "f.mcf", *flags, "--feasible", "--certificate", tmp_path / "f.npy"
    )
    assert done.returncode == 0, done.stderr
    assert "solved by construction" in done.stdout
    made = pt.generate_feasible(
        pelmora.load_min_instance(str(PARALLEL)), 3, "beta-binomial", seed=4, close=0.2, tightness=0.5
    )
    made.save(tmp_path / "lib.mcf")
    assert (tmp_path / "f.mcf").read_bytes() == (tmp_path / "lib.mcf").read_bytes()
    np.testing.assert_array_equal(np.load(tmp_path / "f.npy"), made.certificate)
    solved = pelmora_run("solve", tmp_path / "f.mcf", "--certificate", tmp_path / "f.npy", "--json")
    assert solved.returncode == 0, solved.stderr
    assert '"gap": 0.0' in solved.stdout and f'"cost": {made.cost}' in solved.stdout


def test_the_certificate_of_the_glpk_sample_is_lemons_optimum(tmp_path: Path) -> None:
    done = pelmora_run(
        "generate",
        GLPK,
        tmp_path / "g.mcf",
        "-k",
        2,
        "--method",
        "spread",
        "--feasible",
        "--keep-costs",
        "--certificate",
        tmp_path / "g.npy",
    )
    assert done.returncode == 0, done.stderr
    assert f"certificate cost  {LEMON_OPTIMUM[GLPK]} " in done.stdout
    checked = pelmora_run("info", tmp_path / "g.mcf", "--check", "--certificate", tmp_path / "g.npy")
    assert (
        checked.returncode == 0
        and "feasible (conservation, per-commodity and mutual bounds), cost 213" in checked.stdout
        and "bundled model: feasible (a certificate verified feasible" in checked.stdout
    )


def corrupt(path: Path, out: Path) -> None:
    x = np.load(path)
    x[np.flatnonzero(x[:, 0])[0], 0] += 1
    np.save(out, x)


@pytest.mark.parametrize(
    ("lines", "args", "status", "message"),
    [
        (["p min 2 1", "n 1 5", "n 2 -5", "a 1 2 0 4 1"], [], 1, "no feasible flow"),
        (["p min 2 1", "n 1 5", "n 2 -4", "a 1 2 0 9 1"], [], 2, "do not balance: they add up to 1"),
        (None, ["--tightness", "nan"], 2, "expected a number from 0 to 1"),
        (None, ["--tightness", "1.5"], 2, "expected a number from 0 to 1"),
        (None, ["--close", "1"], 2, "--close"),
        (None, ["--concentration", "inf"], 2, "--concentration"),
        (None, ["-k", "0"], 2, "at least 1"),
    ],
)
def test_generate_refusals(lines, args, status, message, min_file, tmp_path: Path) -> None:
    source = min_file(lines) if lines else GLPK
    done = pelmora_run("generate", source, tmp_path / "out.mcf", "-k", 2, "--method", "uniform", "--feasible", *args)
    assert done.returncode == status and message in done.stderr and len(done.stderr.splitlines()) == 1
    assert not (tmp_path / "out.mcf").exists()


def test_certificate_flags_need_their_mode_and_a_bad_certificate_is_named(tmp_path: Path) -> None:
    no_mode = pelmora_run("generate", GLPK, tmp_path / "a.mcf", "-k", 2, "--method", "uniform", "--tightness", 0.5)
    assert no_mode.returncode == 2 and "--tightness applies with --feasible only" in no_mode.stderr
    pelmora_run(
        "generate",
        GLPK,
        tmp_path / "a.mcf",
        "-k",
        2,
        "--method",
        "uniform",
        "--feasible",
        "--certificate",
        tmp_path / "a.npy",
    )
    corrupt(tmp_path / "a.npy", tmp_path / "bad.npy")
    for command in (["info", tmp_path / "a.mcf", "--check"], ["solve", tmp_path / "a.mcf"]):
        done = pelmora_run(*command, "--certificate", tmp_path / "bad.npy")
        assert done.returncode == 1 and "certificate fails (conservation: commodity 0 at node" in done.stderr
    whole = (tmp_path / "a.npy").read_bytes()
    for name, text, says in (("short.npy", whole[:-8], "cut short"),
                             ("long.npy", whole + b"\0", "1 byte(s) after the certificate's array"),
                             ("twice.npy", whole + whole, f"{len(whole)} byte(s) after the certificate's array")):
        (tmp_path / name).write_bytes(text)
        for command in (["info", tmp_path / "a.mcf", "--check"], ["solve", tmp_path / "a.mcf"]):
            done = pelmora_run(*command, "--certificate", tmp_path / name)
            assert done.returncode == 2 and says in done.stderr and len(done.stderr.splitlines()) == 1


def test_the_certificate_is_written_under_exactly_its_name_or_refused(tmp_path: Path) -> None:
    args = ["generate", GLPK, tmp_path / "a.mcf", "-k", 2, "--method", "uniform", "--feasible", "--certificate"]
    done = pelmora_run(*args, tmp_path / "cert1")
    assert done.returncode == 2 and "--certificate" in done.stderr and "must end in .npy" in done.stderr
    assert len(done.stderr.splitlines()) == 1 and not list(tmp_path.iterdir())
    done = pelmora_run(*args, tmp_path / "cert1.npy")
    assert done.returncode == 0 and sorted(p.name for p in tmp_path.iterdir()) == ["a.mcf", "cert1.npy"]
    made = pt.generate_feasible(pelmora.load_min_instance(str(GLPK)), 2, "uniform")
    made.save_certificate(tmp_path / "plain")  # the library writes the name it is given, whatever it is
    np.testing.assert_array_equal(np.load(tmp_path / "plain"), np.load(tmp_path / "cert1.npy"))
    assert not (tmp_path / "plain.npy").exists()


def test_sweep_adds_the_tightness_and_the_certificate_columns(tmp_path: Path) -> None:
    done = pelmora_run(
        "sweep",
        GLPK,
        "-k",
        "2",
        "--methods",
        "spread",
        "--seeds",
        "1-2",
        "--out",
        tmp_path,
        "--workers",
        1,
        "--feasible",
        "--tightness",
        "0,1",
        "--congestion",
        "0.5",
        "--solve",
        "--certificates",
    )
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader((tmp_path / "sweep.csv").open()))
    assert sorted((r["seed"], r["tightness"]) for r in rows) == [("1", "0.0"), ("1", "1.0"), ("2", "0.0"), ("2", "1.0")]
    assert {r["congestion"] for r in rows} == {"0.5"} and all("-c0.5" in r["file"] for r in rows)
    for row in rows:
        assert row["status"] == "optimal" and float(row["certificate_gap"]) >= -1e-9
        assert int(row["certificate_cost"]) >= float(row["objective"]) - 1e-9
        # Each certificate kept beside its data set is a flow of it, at the cost its row says.
        arrays = pt.load_arrays(tmp_path / row["file"])
        flows = np.load(tmp_path / row["certificate_file"])
        assert row["certificate_file"] == row["file"].removesuffix(".mcf") + ".npy"
        assert ((flows >= 0) & (flows <= arrays.capacities)).all()
        assert ((flows.sum(axis=1) >= arrays.low) & (flows.sum(axis=1) <= arrays.up)).all()
        net = np.zeros(arrays.supplies.shape, dtype=np.int64)
        np.add.at(net, arrays.node_index(arrays.tails), flows)
        np.subtract.at(net, arrays.node_index(arrays.heads), flows)
        assert (net == arrays.supplies).all() and int((flows * arrays.costs).sum()) == int(row["certificate_cost"])
    refused = pelmora_run("sweep", GLPK, "-k", "2", "--methods", "spread", "--seeds", "1", "--out", tmp_path / "x",
                          "--certificates")
    assert refused.returncode == 2 and "--certificates applies with --feasible only" in refused.stderr


def test_sweep_refuses_an_unbalanced_instance_before_it_starts(min_file, tmp_path: Path) -> None:
    source = min_file(["p min 2 1", "n 1 5", "n 2 -4", "a 1 2 0 9 1"])
    done = pelmora_run("sweep", source, "-k", "2", "--methods", "spread", "--seeds", "1", "--out", tmp_path / "runs",
                       "--workers", 1, "--feasible")
    assert done.returncode == 2 and "do not balance: they add up to 1" in done.stderr
    assert not (tmp_path / "runs" / "sweep.csv").exists()


@settings(max_examples=60, deadline=None)
@given(values=hnp.arrays(np.int64, hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=6),
                         elements=st.sampled_from([0, 1, 7, -3, 2**31, 2**62, 2**63 - 1, -(2**63)])),
       seed=st.integers(0, 2**32 - 1))
def test_the_certificate_cost_is_exact_block_by_block(values: np.ndarray, seed: int) -> None:
    costs = np.random.default_rng(seed).permutation(values.ravel()).reshape(values.shape)
    exact = sum(int(x) * int(c) for x, c in zip(values.ravel().tolist(), costs.ravel().tolist(), strict=True))
    with mock.patch("pelmora_tools.cli._certificate._BLOCK_VALUES", 4):
        assert _certificate._cost(values, costs) == exact


def test_costs_are_randomised_by_default_and_keep_costs_keeps_them_negative(min_file, tmp_path: Path) -> None:
    source = min_file(["p min 2 3", "n 1 2", "n 2 -2", "a 1 2 0 5 1", "a 1 2 0 4 -3", "a 2 1 0 4 1"])
    plain = pelmora_run("generate", source, tmp_path / "d.mcf", "-k", 2, "--method", "spread", "--feasible")
    assert plain.returncode == 0 and "randomised per commodity in [0.5, 1.5)" in plain.stdout, plain.stderr
    assert "solved by construction" not in plain.stdout
    made = pt.generate_feasible(pelmora.load_min_instance(source), 2, "spread", costs=(0.5, 1.5))
    made.save(tmp_path / "lib.mcf")
    assert (tmp_path / "d.mcf").read_bytes() == (tmp_path / "lib.mcf").read_bytes()
    kept = pelmora_run("generate", source, tmp_path / "k.mcf", "-k", 2, "--method", "spread", "--feasible",
                       "--keep-costs")
    assert kept.returncode == 0 and "solved by construction" in kept.stdout, kept.stderr
    costs = pt.load_arrays(tmp_path / "k.mcf").costs
    np.testing.assert_array_equal(costs, np.array([[1, 1], [-3, -3], [1, 1]]))
    for extra in (["--keep-costs"], ["--feasible", "--keep-costs", "--costs", "1", "1"]):
        refused = pelmora_run("generate", source, tmp_path / "r.mcf", "-k", 2, "--method", "spread", *extra)
        assert refused.returncode == 2 and "--keep-costs" in refused.stderr and len(refused.stderr.splitlines()) == 1
