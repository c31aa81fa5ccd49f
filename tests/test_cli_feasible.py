"""`pelmora generate --feasible`, the certificate on `info --check` and `solve`, and `sweep --feasible`."""

import csv
from pathlib import Path

import numpy as np
import pytest
from cli_support import DATA, GLPK, LEMON_OPTIMUM, pelmora_run

import pelmora
import pelmora_tools as pt

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
    (tmp_path / "short.npy").write_bytes((tmp_path / "a.npy").read_bytes()[:-8])
    done = pelmora_run("solve", tmp_path / "a.mcf", "--certificate", tmp_path / "short.npy")
    assert done.returncode == 2 and "cut short" in done.stderr


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
        "--solve",
    )
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader((tmp_path / "sweep.csv").open()))
    assert sorted((r["seed"], r["tightness"]) for r in rows) == [("1", "0.0"), ("1", "1.0"), ("2", "0.0"), ("2", "1.0")]
    for row in rows:
        assert row["status"] == "optimal" and float(row["certificate_gap"]) >= -1e-9
        assert int(row["certificate_cost"]) >= float(row["objective"]) - 1e-9


def test_sweep_refuses_an_unbalanced_instance_before_it_starts(min_file, tmp_path: Path) -> None:
    source = min_file(["p min 2 1", "n 1 5", "n 2 -4", "a 1 2 0 9 1"])
    done = pelmora_run("sweep", source, "-k", "2", "--methods", "spread", "--seeds", "1", "--out", tmp_path / "runs",
                       "--workers", 1, "--feasible")
    assert done.returncode == 2 and "do not balance: they add up to 1" in done.stderr
    assert not (tmp_path / "runs" / "sweep.csv").exists()


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
