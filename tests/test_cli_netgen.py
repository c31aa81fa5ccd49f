"""`pelmora netgen`, and `netgen:` specs where generate and sweep expect a .min instance."""

import csv

import pytest
from cli_support import pelmora_run

import pelmora
import pelmora_tools as pt
from pelmora_tools.sweep import Plan, run_point

LINE = "13502460 8 256 16 16 2048 1 10000 16000 0 0 100 100 1 1000"
OTHER = "69013527 9 512 23 23 11585 1 10000 23000 0 0 100 100 1 1000"
FLAGS = ["--seed", "13502460", "--problem", "8", "--nodes", "256", "--sources", "16", "--sinks", "16", "--arcs",
         "2048", "--cost", "1", "10000", "--supply", "16000", "--hicost", "100", "--capacitated", "100", "--caps", "1",
         "1000"]  # fmt: skip


@pytest.mark.parametrize("how", [["--params", LINE], FLAGS, ["--params", "netgen:{file}"]],
                         ids=["line", "flags", "file"])  # fmt: skip
def test_the_command_writes_the_library_s_file(tmp_path, how):
    (tmp_path / "one.par").write_text(f"# NETGEN-8 08a\n{LINE}\n")
    argv = [arg.replace("{file}", str(tmp_path / "one.par")) for arg in how]
    done = pelmora_run("netgen", tmp_path / "cli.min", *argv, "--quiet")
    assert done.returncode == 0 and done.stderr == "", done.stderr
    pt.netgen(LINE, out=tmp_path / "lib.min")
    assert (tmp_path / "cli.min").read_bytes() == (tmp_path / "lib.min").read_bytes()


@pytest.mark.parametrize(
    ("argv", "says"),
    [
        (["--params", LINE.replace("13502460", "0", 1)], "pelmora netgen: error: seed must be at least 1, got 0"),
        (["--params", "1 2 3"], "error: --params: a NETGEN parameter line holds 15 integers, got 3"),
        (["--params", LINE.replace("256", "25x", 1)], "error: --params: nodes must be an integer, got '25x'"),
        (FLAGS[:-2], "argument --caps: expected 2 arguments"),
        (FLAGS[:2], "the parameters need --params or these flags: --nodes --sources --sinks --arcs"),
        (["--nodes", "2.5"], "argument --nodes: expected an integer, got '2.5'"),
        (["--params", LINE, "--nodes", "5"], "--params or the flags, not both (also given: --nodes)"),
        (["--params", "netgen:{two}"], "netgen:{two}: 2 NETGEN problems, where one is expected"),
        (FLAGS[:-2] + ["1001", "1000"], "error: min_cap must not exceed max_cap (1000), got 1001"),
    ],
)
def test_refusals_leave_no_file(tmp_path, argv, says):
    two = tmp_path / "two.par"
    two.write_text(f"{LINE}\n{OTHER}\n")
    argv = [arg.replace("{two}", str(two)) for arg in argv]
    done = pelmora_run("netgen", tmp_path / "out.min", *argv)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert says.replace("{two}", str(two)) in done.stderr, done.stderr
    assert not (tmp_path / "out.min").exists()


@pytest.mark.parametrize(
    ("spec", "says"),
    [
        ("netgen:{two}", "2 NETGEN problems, where one network is expected"),
        ("netgen:{tmp}/none.par", "none.par: No such file or directory"),
        ("netgen:1 2 3", "netgen:1 2 3: a NETGEN parameter line holds 15 integers, got 3"),
        ("netgen:" + LINE.replace("16000", "15", 1), "supply must be at least the number of sources (16), got 15"),
    ],
)
def test_generate_refuses_bad_specs(tmp_path, spec, says):
    (tmp_path / "two.par").write_text(f"{LINE}\n{OTHER}\n")
    spec = spec.replace("{two}", str(tmp_path / "two.par")).replace("{tmp}", str(tmp_path))
    done = pelmora_run("generate", spec, tmp_path / "out.mcf", "-k", "2", "--method", "spread")
    assert done.returncode == 2 and says in done.stderr and done.stderr.count("\n") == 1, done.stderr


def test_generate_from_parameters_is_generate_from_the_written_file(tmp_path):
    pt.netgen(LINE, out=tmp_path / "net.min")
    argv = ["-k", "3", "--method", "beta-binomial", "--caps", "0.5", "1.5", "--seed", "9"]
    for source, out in ((f"netgen:{LINE}", "spec.mcf"), (tmp_path / "net.min", "file.mcf")):
        done = pelmora_run("generate", source, tmp_path / out, *argv)
        assert done.returncode == 0, done.stderr
    assert (tmp_path / "spec.mcf").read_bytes() == (tmp_path / "file.mcf").read_bytes()


def test_a_sweep_worker_rebuilds_the_network_from_its_spec(tmp_path):
    (point,) = Plan(f"netgen:{LINE}", ("uniform",), (2,), (5,)).points()
    row = run_point(point, str(tmp_path))
    expected = tmp_path / "expected.mcf"
    instance = pt.netgen(LINE)
    pelmora.save_multi_commodity_instance(str(expected), instance, point.generation.run(instance))
    assert row["instance"] == f"netgen:{LINE}" and str(row["file"]).startswith("netgen-13502460-8-")
    assert (tmp_path / str(row["file"])).read_bytes() == expected.read_bytes()


def test_sweep_takes_one_network_per_problem_of_a_parameter_file(tmp_path):
    (tmp_path / "two.par").write_text(f"c two NETGEN problems\n{LINE}\n{OTHER}\n")
    done = pelmora_run("sweep", f"netgen:{tmp_path / 'two.par'}", "-k", "2", "--methods", "spread", "--seeds", "1-2",
                       "--out", tmp_path / "runs", "--workers", "1")  # fmt: skip
    assert done.returncode == 0, done.stderr
    with (tmp_path / "runs" / "sweep.csv").open() as f:
        rows = list(csv.DictReader(f))
    assert [(r["instance"], r["seed"]) for r in rows] == [
        (f"netgen:{line}", seed) for line in (LINE, OTHER) for seed in ("1", "2")]  # fmt: skip
    assert len({r["file"] for r in rows}) == 4 and all((tmp_path / "runs" / r["file"]).exists() for r in rows)
