"""`pelmora gridgen`, `goto` and `mnetgen`, and `gridgen:` / `goto:` sources where a .min instance is taken."""

import pytest
from cli_support import pelmora_run

import pelmora_tools as pt

GRIDGEN = "1 12345678 100 10 5 5 4 10000 1 0 2000 2 50"
GRIDGEN_FLAGS = ["--two-way", "--seed", "12345678", "--nodes", "100", "--width", "10", "--sources", "5", "--sinks", "5",
                 "--degree", "4", "--supply", "10000", "--cost-uniform", "0", "2000", "--cap-exponential", "50"]  # fmt: skip
GOTO = "20 120 100 100 7"
GOTO_FLAGS = ["--nodes", "20", "--arcs", "120", "--max-cap", "100", "--max-cost", "100", "--seed", "7"]
MNETGEN = "1 1 50 200 5 5 4 1 1 10 1 100 10 100 1 50 10 100 20 30 40"


@pytest.mark.parametrize(
    ("family", "how"),
    [("gridgen", ["--params", GRIDGEN]), ("gridgen", GRIDGEN_FLAGS), ("gridgen", ["--params", "gridgen:{file}"]),
     ("goto", ["--params", GOTO]), ("goto", GOTO_FLAGS), ("goto", ["--params", "goto:{file}"])],
    ids=["gridgen line", "gridgen flags", "gridgen file", "goto line", "goto flags", "goto file"],
)  # fmt: skip
def test_the_commands_write_the_library_s_file(tmp_path, family, how):
    line = GRIDGEN if family == "gridgen" else GOTO
    (tmp_path / "one.par").write_text(f"# one problem\n{line}\n")
    done = pelmora_run(family, tmp_path / "cli.min", *[a.replace("{file}", str(tmp_path / "one.par")) for a in how])
    summary = getattr(pt, family)(line, out=tmp_path / "lib.min")
    said = done.stderr.splitlines()
    assert done.returncode == 0 and len(said) == 1 and said[0].startswith(f"wrote {tmp_path / 'cli.min'} (") \
        and said[0].endswith(f"): a {family.upper()} network of {summary.nodes:,} nodes and {summary.arcs:,} arcs"), said
    getattr(pt, family)(line, out=tmp_path / "lib.min")
    assert (tmp_path / "cli.min").read_bytes() == (tmp_path / "lib.min").read_bytes()


def test_mnetgen_writes_the_four_files(tmp_path):
    done = pelmora_run("mnetgen", tmp_path / "cli", "--params", MNETGEN)
    assert done.returncode == 0 and done.stderr.startswith(f"wrote {tmp_path / 'cli.nod'} (") \
        and len(done.stderr.splitlines()) == 1, done.stderr
    pt.mnetgen_files(MNETGEN, tmp_path / "lib")
    for suffix in (".nod", ".arc", ".sup", ".mut"):
        assert (tmp_path / f"cli{suffix}").read_bytes() == (tmp_path / f"lib{suffix}").read_bytes()
    # mnetgen:"..." stands for the same data set wherever one is taken: the same optimum as its files.
    by_files = pelmora_run("solve", tmp_path / "cli.nod", "--json")
    by_source = pelmora_run("solve", f"mnetgen:{MNETGEN}", "--json")
    assert by_files.returncode == by_source.returncode and by_files.stdout.split('"seconds"')[0] == \
        by_source.stdout.split('"seconds"')[0], by_source.stderr
    wrong = pelmora_run("generate", f"mnetgen:{MNETGEN}", tmp_path / "x.mcf", "-k", "2", "--method", "uniform")
    assert wrong.returncode == 2 and "where a network is expected" in wrong.stderr


@pytest.mark.parametrize(
    ("argv", "says"),
    [
        (["gridgen", "{out}", "--params", GRIDGEN.replace(" 5 5 ", " 60 50 ")],
         "pelmora gridgen: error: sources + sinks must not exceed the grid's 100 nodes (10 x 10), got 60 + 50"),
        (["gridgen", "{out}", "--params", GRIDGEN.replace(" 1 0 2000", " 4 0 2000")],
         "error: --params: cost_distribution must be 1 (uniform) or 2 (exponential), got 4"),
        (["gridgen", "{out}", *GRIDGEN_FLAGS[:7]], "the parameters need --params or these flags: --sources"),
        (["gridgen", "{out}", "--params", GRIDGEN, "--two-way"], "--params or the flags, not both (also given: --two-way)"),
        (["gridgen", "{out}", *GRIDGEN_FLAGS[:-2], "--cap-uniform", "1", "x"], "argument --cap-uniform: expected a number"),
        (["goto", "{out}", "--params", "14 90 8 8 1"], "pelmora goto: error: nodes must be from 15 to 2^31 - 1, got 14"),
        (["goto", "{out}", "--params", "20 120 100 100"], "error: --params: a GOTO parameter line ends before seed"),
        (["goto", "{out}", *GOTO_FLAGS[:-2]], "the parameters need --params or these flags: --seed"),
        (["mnetgen", "{out}", "--params", MNETGEN.replace("1 1 50 200 5 5", "1 1 50 200 30 30", 1)],
         "pelmora mnetgen: error: sources + sinks must not exceed nodes (50), got 30 + 30"),
        (["mnetgen", "{out}", "--params",
          "4242 7 100 600 10 10 4 1 1 15 1 10000 100000 1000000 1 100 10000 100000 30 40 50"],
         "error: chain: MNETGEN never finishes with these parameters"),
        (["mnetgen", "{tmp}/no/such/dir/p", "--params", MNETGEN], "no/such/dir/p.mut: No such file or directory"),
    ],
)  # fmt: skip
def test_refusals_are_one_line_and_leave_no_file(tmp_path, argv, says):
    argv = [a.replace("{out}", str(tmp_path / "out")).replace("{tmp}", str(tmp_path)) for a in argv]
    done = pelmora_run(*argv)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert says in done.stderr, done.stderr
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("spec", [f"gridgen:{GRIDGEN}", f"goto:{GOTO}"])
def test_generate_from_parameters_is_generate_from_the_written_file(tmp_path, spec):
    family, line = spec.split(":")
    getattr(pt, family)(line, out=tmp_path / "net.min")
    argv = ["-k", "3", "--method", "uniform", "--seed", "9"]
    for source, out in ((spec, "spec.mcf"), (tmp_path / "net.min", "file.mcf")):
        done = pelmora_run("generate", source, tmp_path / out, *argv)
        assert done.returncode == 0, done.stderr
    assert (tmp_path / "spec.mcf").read_bytes() == (tmp_path / "file.mcf").read_bytes()


def test_generate_refuses_a_bad_family_line_in_one_line(tmp_path):
    done = pelmora_run("generate", "goto:14 90 8 8 1", tmp_path / "out.mcf", "-k", "2", "--method", "spread")
    assert done.returncode == 2 and "nodes must be from 15" in done.stderr and done.stderr.count("\n") == 1


@pytest.mark.parametrize("to", ["mps", "lp"])
def test_export_of_unbounded_capacities_keeps_stdout_clean(tmp_path, to):
    # MNETGEN's uncapacitated arcs take HiGHS's writer, whose banner must not reach standard output.
    done = pelmora_run("export", f"mnetgen:{MNETGEN}", tmp_path / f"m.{to}", "--to", to)
    assert done.returncode == 0 and done.stdout == "" and done.stderr.startswith("wrote "), done
