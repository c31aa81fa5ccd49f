"""The command line's refusals: files that are not what the command expects, inputs that can be read
only once, outputs that would destroy an input, nonsense arguments; and the status table."""

import json
import os
import subprocess
import threading
from pathlib import Path

import pytest
from cli_support import GLPK, LEMON_OPTIMUM, SCRIPT, generated, pelmora_run
from fault_support import UNDER_ASAN

import pelmora

MIN_TEXT = GLPK.read_text()


def cut(tmp: Path) -> Path:
    whole = generated(tmp / "whole.mcf", GLPK, 2, "spread").read_text().splitlines(keepends=True)
    path = tmp / "cut.mcf"
    path.write_text("".join(whole[:-3]))
    return path


@pytest.mark.parametrize(
    "make, command, says",
    [
        (lambda t: t / "empty", "info", "no problem line"),
        (lambda t: (t / "hello").write_text("hello world\n") and t / "hello", "solve", "no problem line"),
        (cut, "solve", "declares 14 arcs, the file holds 11"),
        (lambda t: generated(t / "x.mcf", GLPK, 2, "spread"), "generate", "a multicommodity file, where a .min"),
        (lambda t: Path("/dev/zero"), "info", "not a regular file or a pipe"),
        (lambda t: t, "info", "Is a directory"),
        (lambda t: t / "none.min", "generate", "none.min: No such file or directory"),
        (lambda t: t / "none.min", "solve", "none.min: No such file or directory"),
    ],
)
def test_files_that_are_not_what_the_command_expects(tmp_path, make, command, says):
    (tmp_path / "empty").write_text("")
    path = make(tmp_path)
    extra = {"generate": [tmp_path / "out.mcf", "-k", "2", "--method", "spread"]}.get(command, [])
    done = pelmora_run(command, path, *extra)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.startswith(f"pelmora {command}: error: ") and says in done.stderr, done.stderr
    assert not (tmp_path / "out.mcf").exists()


@pytest.mark.parametrize(
    "text, says",
    [
        ("p min 2 1\nn 1 4\nn 2 -4\na 1 2 0 x 3\n", "line 4: invalid digit found in string"),
        ("c ok\np min 2 1\nn 1 99999999999999999999\n", "line 3: number too large to fit in target type"),
        ("p min 2 1 1 0 0 0 0 0.x 0\nn 1 1 1\n", "line 1: invalid float literal"),
        ("c caf\xe9\np min 2 0\n", "line 1: stream did not contain valid UTF-8"),
        ("p min 2 1\nn 1 4\na 1 2 0\n", "line 3: arc line is missing the capacity"),
    ],
)
def test_every_parse_error_names_its_line(tmp_path, text, says):
    path = tmp_path / "bad"
    path.write_bytes(text.encode("latin-1"))
    done = pelmora_run("info", path)
    assert done.returncode == 2 and f"{path}: {says}" in done.stderr, done.stderr


def test_a_min_problem_line_with_an_extra_token_is_a_min_file(tmp_path):
    odd = tmp_path / "odd.min"
    odd.write_text(MIN_TEXT.replace("p min 9 14", "p min 9 14 extra"))
    assert "p min 9 14 extra" in odd.read_text()
    told = json.loads(pelmora_run("info", odd, "--json").stdout)
    assert told["kind"] == "min" and told["arcs"] == 14


def test_tokens_are_split_at_unicode_white_space_as_the_readers_split_them(tmp_path):
    # U+0085 and U+3000 separate tokens for the readers; U+001F does not (str.split would split there).
    lines = generated(tmp_path / "x.mcf", GLPK, 3, "spread", seed=2).read_text().splitlines(keepends=True)
    problem = lines[1].split(" ")
    odd = tmp_path / "odd.mcf"
    odd.write_text(lines[0] + "\x85".join(problem[:6]) + "\u3000" + " ".join(problem[6:]) + "".join(lines[2:]))
    told = json.loads(pelmora_run("info", odd, "--json").stdout)
    assert told["kind"] == "multicommodity" and told["commodities"] == 3
    bad = tmp_path / "bad.mcf"
    bad.write_text("p min 2 1\nn 1\x1f4 4\n")
    assert "line 2: invalid digit found in string" in pelmora_run("info", bad).stderr


def test_a_pipe_is_read_once(tmp_path):
    # The file kind is told and the data read from one pass over what the pipe gave.
    fifo = tmp_path / "in.min"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_text(MIN_TEXT))
    writer.start()
    done = pelmora_run("solve", fifo, "--json")
    writer.join()
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["objective"] == LEMON_OPTIMUM[GLPK]


NETGEN_LINE = "13502460 8 256 16 16 2048 1 10000 16000 0 0 100 100 1 1000"
SPREAD = ["-k", "2", "--method", "spread"]
SWEEP = ["-k", "2,3", "--methods", "spread", "--seeds", "1-2", "--out", "{d}/sw", "--workers", "1"]


# Each command given an output that is one of its inputs, or another of its outputs, under another
# name or the same: refused before anything is written.
@pytest.mark.parametrize(
    "argv, says",
    [
        (["generate", "{x}", "{x}", *SPREAD], "{x}: the output is the input file {x}"),
        (["generate", "{x}", "{d}/./link", *SPREAD], "{d}/./link: the output is the input file {x}"),
        (["generate", "{x}", "{d}/hard.min", *SPREAD], "{d}/hard.min: the output is the input file {x}"),
        (["generate", "netgen:{p}", "{p}", *SPREAD], "{p}: the output is the input file {p}"),
        (["generate", "{x}", "{d}/same.npy", *SPREAD, "--feasible", "--certificate", "{d}/same.npy"],
         "{d}/same.npy: the output is also the output {d}/same.npy"),
        (["generate", "{x}", "{d}/dangling", *SPREAD, "--feasible", "--certificate", "{d}/nowhere.npy"],
         "{d}/nowhere.npy: the output is also the output {d}/dangling"),
        (["netgen", "{p}", "--params", "netgen:{p}"], "{p}: the output is the input file {p}"),
        (["export", "{x}", "--to", "lp", "{d}/hard.lp"], "{d}/hard.lp: the output is the input file {x}"),
        (["export", "{y}", "--to", "mnetgen", "{d}/y"], "{y}: the output is the input file {y}"),
        (["sweep", "{x}", *SWEEP, "--csv", "x-spread-k2-s1.mcf"],
         "x-spread-k2-s1.mcf: the output is also the output"),
        (["sweep", "{x}", *SWEEP, "--feasible", "--tightness", "0,1", "--csv", "x-spread-k3-s2-feasible-t1.0.mcf"],
         "x-spread-k3-s2-feasible-t1.0.mcf: the output is also the output"),
        (["sweep", "{x}", *SWEEP, "--feasible", "--certificates", "--csv", "x-spread-k2-s2-feasible-t0.0.npy"],
         "x-spread-k2-s2-feasible-t0.0.npy: the output is also the output"),
        (["sweep", "{x}", *SWEEP, "--csv", "{x}", "--overwrite"], "{x}: the output is the input file {x}"),
    ],
)
def test_an_output_that_is_an_input_or_another_output_is_refused(tmp_path, argv, says):
    x, y, p = tmp_path / "x.min", tmp_path / "y.arc", tmp_path / "p.par"
    x.write_text(MIN_TEXT)
    y.write_text(MIN_TEXT)
    p.write_text(NETGEN_LINE + "\n")
    for hard in ("hard.min", "hard.lp"):
        os.link(x, tmp_path / hard)
    (tmp_path / "link").symlink_to(x)
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere.npy")
    before = {f: f.read_bytes() for f in (x, y, p)}
    files = sorted(tmp_path.iterdir())
    names = {"x": x, "y": y, "p": p, "d": tmp_path}
    done = pelmora_run(*(a.format(**names) for a in argv))
    assert done.returncode == 2 and says.format(**names) in done.stderr, done.stderr
    assert len(done.stderr.splitlines()) == 1
    assert {f: f.read_bytes() for f in (x, y, p)} == before and sorted(tmp_path.iterdir()) == files


@pytest.mark.parametrize(
    "flags, says",
    [
        (["--caps", "2", "1"], "--caps: A must not be above B"),
        (["--costs", "-1", "0"], "--costs: expected a finite number above 0"),
        (["--caps", "0", "0"], "--caps: expected a finite number above 0"),
        (["--bogus"], "pelmora generate: error: unrecognized arguments: --bogus"),
    ],
)
def test_nonsense_generation_arguments(tmp_path, flags, says):
    done = pelmora_run("generate", GLPK, tmp_path / "o.mcf", "-k", "2", "--method", "spread", *flags)
    assert done.returncode == 2 and says in done.stderr and done.stderr.count("\n") == 1, done.stderr


def test_statuses_messages_and_debug(tmp_path):
    version = pelmora_run("--version")
    assert version.returncode == 0 and version.stdout.split() == ["pelmora", "0.1.0"]
    if not UNDER_ASAN:  # there a failed operator new stops the process instead of raising
        huge = ["generate", GLPK, tmp_path / "o.mcf", "-k", str(10**12), "--method", "uniform"]
        done = pelmora_run(*huge)
        assert done.returncode == 2 and "not enough memory to generate 1000000000000 commodities" in done.stderr
    missing = ["info", tmp_path / "none.min"]
    assert pelmora_run(*missing).stderr.count("\n") == 1
    traced = pelmora_run("--debug", *missing)
    assert traced.returncode == 2 and "Traceback" in traced.stderr and "FileNotFoundError" in traced.stderr


def test_info_on_a_data_set_without_commodities_is_strict_json(tmp_path):
    (tmp_path / "idle.min").write_text("p min 2 0\n")  # no supply and no arcs: K = 0 can be written
    network = pelmora.load_min_instance(str(tmp_path / "idle.min"))
    path = tmp_path / "k0.mcf"
    pelmora.save_multi_commodity_instance(str(path), network, pelmora.generate_multi_commodity_data(network, 0, 1))
    done = pelmora_run("info", path, "--json")
    assert done.returncode == 0, done.stderr
    told = json.loads(done.stdout, parse_constant=lambda c: pytest.fail(f"not JSON: {c}"))
    assert told["commodities"] == 0 and told["supply"] == [] and told["heterogeneity"] is None
    assert pelmora_run("info", path).returncode == 0


def test_a_closed_pipe_ends_the_output_quietly():
    with subprocess.Popen([str(SCRIPT), "info", str(GLPK)], stdout=subprocess.PIPE, stderr=subprocess.PIPE) as p:
        assert p.stdout is not None and p.stderr is not None
        p.stdout.close()  # the reader is gone before anything was written
        assert p.wait(timeout=60) == 0 and p.stderr.read() == b""


def test_info_on_many_commodities_lists_them_without_a_list_per_node(tmp_path):
    # 6e6 commodities declared by a few bytes: the text table stops, the score is left out past its
    # limit, the JSON still lists every commodity.
    k = 6_000_000
    path = tmp_path / "wide.mcf"
    path.write_text(f"p min 3 1 {k} 0 0 1 0 0 0\nn 1 5 5\nn 2 -5 -5\na 1 2 0 9 9 1\n")
    text = pelmora_run("info", path)
    assert text.returncode == 0, text.stderr
    assert "heterogeneity   -" in text.stdout and f"and {k - 1000} more commodities" in text.stdout
    told = json.loads(pelmora_run("info", path, "--json").stdout)
    assert told["heterogeneity"] is None and len(told["supply"]) == len(told["closed_arcs"]) == k
    assert told["supply"][:2] == [5, 0] and not any(told["closed_arcs"])
