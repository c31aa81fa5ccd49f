"""The sweep when things go wrong: failing data sets, a dying worker, Ctrl-C, a silent or empty
cluster, an existing CSV, and arguments that would fail every task or never end."""

import contextlib
import csv
import math
import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
from cli_support import DATA, GLPK, METHOD, SCRIPT, pelmora_run, running_cluster
from hypothesis import given
from hypothesis import strategies as st

import pelmora
from pelmora_tools.cli import main
from pelmora_tools.cli import sweep as sweep_command
from pelmora_tools.generation import Generation
from pelmora_tools.sweep import Plan, Point, Work, batches, run_point, run_sweep

PARALLEL = DATA / "own-net-parallel-300n-9000a.min"
# K = 2^63 cells per node overflow the module's checked size at once: a MemoryError, nothing allocated.
HUGE_K = 2**63


def table(path: Path) -> list[dict[str, str]]:
    text = path.read_text()
    assert text.endswith("\n")  # whole lines only
    return list(csv.DictReader(text.splitlines()))


def library_failure(point: Generation) -> str | None:
    """What the module raises for this generation of the GLPK sample, by type name, or None."""
    try:
        point.run(pelmora.load_min_instance(str(GLPK)))
    except BaseException as error:  # PanicException derives from BaseException
        return type(error).__name__
    return None


def test_failed_data_sets_are_rows_and_the_others_go_on(tmp_path):
    # C = 1e308: K = 1 is fine, K = 2 panics in the beta-binomial split, K = 3 is a ValueError; and
    # one task kills its worker process, every time it is tried.
    def task(point, out):
        if (point.generation.commodities, point.generation.seed) == (1, 2):
            os._exit(3)
        return run_point(point, out)

    plan = Plan(str(GLPK), ("beta-binomial",), (1, 2, 3), (1, 2), concentration=1e308)
    outcome = run_sweep(plan, tmp_path, task=task)
    rows = table(tmp_path / "sweep.csv")
    assert len(rows) == len(outcome.rows) == 6 and outcome.failed == 5
    for row in rows:
        point = Generation(int(row["commodities"]), row["method"], int(row["seed"]), concentration=1e308)
        expected = "worker-died" if (point.commodities, point.seed) == (1, 2) else library_failure(point)
        if expected is None:
            assert (row["status"], row["error"]) == ("written", "")
            network = pelmora.load_min_instance(str(GLPK))
            pelmora.save_multi_commodity_instance(str(tmp_path / "lib.mcf"), network, point.run(network))
            assert (tmp_path / row["file"]).read_bytes() == (tmp_path / "lib.mcf").read_bytes()
        elif expected == "worker-died":
            assert row["status"] == "worker-died" and row["error"].startswith("KilledWorker: ")
        else:
            assert row["status"] == "failed" and row["error"].startswith(f"{expected}: ") and row["file"] == ""


def test_cli_failed_rows_exit_2_and_an_existing_csv_is_kept(tmp_path):
    out = tmp_path / "out"
    argv = ["sweep", GLPK, "--methods", "uniform", "--seeds", "1-2", "--out", out]
    done = pelmora_run(*argv, "-k", f"1,{HUGE_K}", "--check")
    path = out / "sweep.csv"
    rows = table(path)
    assert done.returncode == 2
    workers = len({r["worker_pid"] for r in rows})
    assert re.fullmatch(rf"4 data sets, 2 failed, on {workers} worker process{'es' * (workers != 1)} in \d+\.\d s; "
                        rf"wrote {re.escape(str(path))}\n", done.stdout), done.stdout
    assert done.stderr == f"pelmora sweep: error: 2 of 4 data sets failed: see the status and error columns of " \
        f"{path}\n"
    assert sorted((r["commodities"], r["status"], r["alone_feasible"]) for r in rows) == [
        ("1", "written", "True"), ("1", "written", "True"), (str(HUGE_K), "failed", ""), (str(HUGE_K), "failed", "")
    ]
    before = path.read_bytes()
    again = pelmora_run(*argv, "-k", "1")
    assert again.returncode == 2 and again.stderr == f"pelmora sweep: error: {path}: the CSV exists; --overwrite " \
        "replaces it, --resume adds the rows it lacks\n" and path.read_bytes() == before
    elsewhere = tmp_path / "elsewhere.csv"  # an absolute --csv is where the user asked
    for extra in (["--overwrite"], ["--csv", elsewhere]):
        replaced = pelmora_run(*argv, "-k", "1", *extra)
        assert replaced.returncode == 0, replaced.stderr
    assert len(table(path)) == len(table(elsewhere)) == 2


def test_ctrl_c_keeps_every_finished_row_and_resume_finishes_the_sweep(tmp_path):
    # One worker: the two K = 1 solves finish in a blink, each K = 16 solve takes seconds.
    out = tmp_path / "out"
    path = out / "sweep.csv"
    args = [SCRIPT, "sweep", PARALLEL, "-k", "1,16", "--methods", "uniform", "--seeds", "1-2", "--solve", "--out",
            out, "--workers", "1"]
    with subprocess.Popen(list(map(str, args)), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          start_new_session=True) as proc:
        deadline = time.monotonic() + 300
        while not (path.exists() and path.read_text().count("\n") >= 3):
            assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read() if proc.stderr else ""
            time.sleep(0.05)
        os.killpg(proc.pid, signal.SIGINT)  # as a terminal's Ctrl-C: the worker processes get it too
        stdout, stderr = proc.communicate(timeout=120)
    rows = table(path)
    assert proc.returncode == 130, stderr
    assert stderr == f"pelmora sweep: interrupted; the {len(rows)} finished rows are in {path}\n"
    assert stdout.startswith(f"{len(rows)} of 4 data sets, 0 failed")
    assert 2 <= len(rows) < 4 and {r["status"] for r in rows} == {"optimal"}
    assert all((out / r["file"]).exists() for r in rows)
    resumed = pelmora_run(*args[1:], "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert f"({len(rows)} already in the CSV)" in resumed.stdout
    whole = pelmora_run(*args[1:], "--csv", tmp_path / "whole.csv")
    assert whole.returncode == 0, whole.stderr
    assert comparable(table(path)) == comparable(table(tmp_path / "whole.csv"))


def test_a_batch_reports_each_failing_data_set_alone(tmp_path):
    def task(point, out):
        if point.generation.seed == 7:
            raise RuntimeError("seed 7 fails")
        return run_point(point, out)

    plan = Plan(str(GLPK), ("uniform",), (1,), tuple(range(1, 41)))
    outcome = run_sweep(plan, tmp_path, task=task, arcs={str(GLPK): 14})
    rows = table(tmp_path / "sweep.csv")
    assert len(rows) == 40 and outcome.failed == 1
    assert {r["seed"]: r["error"] for r in rows if r["status"] != "written"} == {"7": "RuntimeError: seed 7 fails"}


@given(st.lists(st.tuples(st.integers(1, 10**6), st.booleans()), max_size=60), st.integers(1, 8))
def test_batches_keep_the_plan_order_and_their_share(sizes, workers):
    points = [(i, Point(f"n{i}", Generation(k, "uniform"), Work(solve=solve))) for i, (k, solve) in enumerate(sizes)]
    groups = batches(points, {f"n{i}": 1000 for i in range(len(points))}, workers)
    assert [item for group in groups for item in group] == points
    for group in groups:
        cells = sum(1000 * p.generation.commodities * (100 if p.work.solve else 1) for _, p in group)
        assert len(group) == 1 or (cells <= 2_000_000 and len(group) <= max(1, len(points) // (4 * workers)))


@contextlib.contextmanager
def silent_scheduler():
    """A TCP listener that takes connections and never says a word."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        yield f"tcp://127.0.0.1:{listener.getsockname()[1]}"


@contextlib.contextmanager
def scheduler_without_workers(tmp_path):
    with running_cluster(tmp_path, workers=0) as address:
        yield address


@pytest.mark.parametrize(
    "cluster, says, header",
    [(silent_scheduler, "the scheduler at {address} did not answer within 2 s", False),
     (scheduler_without_workers, "no worker connected for 2 s; 0 of 1 data sets finished", True)],
)
def test_a_cluster_that_cannot_progress_ends_in_one_line(tmp_path, cluster, says, header):
    out = tmp_path / "out"
    with cluster(*([tmp_path] if cluster is scheduler_without_workers else [])) as address:
        done = pelmora_run("sweep", GLPK, "-k", "2", "--methods", "uniform", "--seeds", "1", "--out", out,
                           "--scheduler", address, "--timeout", "2")
    assert done.returncode == 2
    assert done.stderr == f"pelmora sweep: error: {says.format(address=address)}\n"
    assert (out / "sweep.csv").exists() == header  # connected: the CSV has its header and no row
    if header:
        assert table(out / "sweep.csv") == []


@pytest.mark.parametrize(
    "flags, says",
    [
        (["INSTANCE", "fifo"], "fifo: a pipe, but every worker reads the instance itself"),
        (["--csv", "../escape.csv"], "would be outside"),
        (["--seeds", "0-18446744073709551615"], "18446744073709551616 seeds in '0-18446744073709551615': a sweep "
                                                "makes at most 100000 data sets"),
        (["--seeds", "0-20000000"], "20000001 seeds"),
        (["--seeds", "1-60000", "-k", "2,3"], "120000 data sets (1 methods x 2 K x 60000 seeds)"),
        (["--methods", "beta-binomial", "-k", "4", "--concentration", "5e307"], "5e+307 is too large for 4"),
        (["--methods", "beta-binomial", "-k", "1,2", "--concentration", "1e308"], "1e+308 is too large for 2"),
    ],
)
def test_refused_before_any_work(tmp_path, capsys, flags, says):
    out = tmp_path / "out"
    instance = GLPK
    if flags[0] == "INSTANCE":  # a named pipe that nobody writes: reading it would wait forever
        instance, flags = tmp_path / flags[1], []
        os.mkfifo(instance)
    argv = ["sweep", str(instance), "--out", str(out), *map(str, flags)]
    argv += [default for flag, default in (("-k", ["-k", "2"]), ("--methods", ["--methods", "uniform"]),
                                           ("--seeds", ["--seeds", "1"])) if flag not in flags for default in default]
    try:
        status = main(argv)
    except SystemExit as exit_:
        status = exit_.code
    _, err = capsys.readouterr()
    assert status == 2 and len(err.splitlines()) == 1 and says in err, err
    assert not out.exists()


MAX_DOUBLE = sys.float_info.max


@st.composite
def near_overflow(draw):
    """(C, K) within a few ulps of C + (K - 1) C overflowing, or anywhere at all."""
    k = draw(st.integers(2, 2000) | st.sampled_from([2, 3, 4]))
    c = MAX_DOUBLE / k
    for _ in range(draw(st.integers(0, 6))):
        c = math.nextafter(c, 0.0)
    for _ in range(draw(st.integers(0, 6))):
        c = math.nextafter(c, math.inf)
    return draw(st.just(c) | st.floats(5e-324, MAX_DOUBLE)), k


@given(near_overflow(), st.sampled_from(sorted(METHOD)))
def test_the_refusal_is_exactly_where_the_module_fails(case, method):
    concentration, k = case
    point = Generation(k, method, 1, concentration=concentration)
    refused = point.refusal(pelmora.load_min_instance(str(GLPK)))
    assert (refused is not None) == (library_failure(point) is not None), (concentration, k)


def test_a_network_without_supply_is_never_refused(tmp_path):
    path = tmp_path / "flat.min"
    path.write_text("p min 2 1\na 1 2 0 5 1\n")
    network = pelmora.load_min_instance(str(path))
    point = Generation(4, "beta-binomial", concentration=1e308)
    assert point.refusal(network) is None and point.run(network) is not None


@given(st.lists(st.tuples(st.integers(0, 80), st.integers(0, 30)), min_size=1, max_size=6), st.integers(1, 60))
def test_seed_lists_match_their_expansion(spans, cap):
    text = ",".join(f"{low}-{low + width}" if width else f"{low}" for low, width in spans)
    expanded = tuple(dict.fromkeys(s for low, width in spans for s in range(low, low + width + 1)))
    try:
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(sweep_command, "MAX_DATA_SETS", cap)
            parsed = sweep_command.SEED_LIST(text)
    except Exception as error:
        assert len(expanded) > cap and f"{len(expanded)} seeds" in str(error)
    else:
        assert parsed == expanded and len(expanded) <= cap


# What differs between two runs of one point: the time it took and the process that ran it.
RUN_COLUMNS = ("generate_s", "solve_s", "worker_pid")


def comparable(rows: list[dict[str, str]]) -> list[tuple[tuple[str, str], ...]]:
    return sorted(tuple((k, v) for k, v in row.items() if k not in RUN_COLUMNS) for row in rows)


def test_a_resumed_sweep_has_the_rows_of_one_uninterrupted_run(tmp_path):
    grid = ["sweep", str(GLPK), "-k", "1,2", "--methods", "uniform,spread", "--seeds", "1-3", "--check",
            "--workers", "1"]
    whole, resumed = tmp_path / "whole", tmp_path / "resumed"
    assert main([*grid, "--out", str(whole)]) == 0
    # Stopped after 5 of its 12 rows, the last of them cut mid-line as a stop while writing leaves it.
    stop_after = iter(range(4, -1, -1))

    def stop(_: object) -> None:
        if next(stop_after) == 0:
            raise KeyboardInterrupt

    plan = Plan(str(GLPK), ("uniform", "spread"), (1, 2), (1, 2, 3), check=True)
    with pytest.raises(KeyboardInterrupt):
        run_sweep(plan, resumed, workers=1, on_row=stop)
    path = resumed / "sweep.csv"
    text = path.read_text()
    assert len(text.splitlines()) == 6
    path.write_text(text[: text.rindex("\n", 0, len(text) - 1) + 10])  # 4 whole rows and a partial one
    assert main([*grid, "--out", str(resumed), "--resume"]) == 0
    assert comparable(table(path)) == comparable(table(whole / "sweep.csv"))
    # Once whole, resuming again adds nothing; growing the grid adds only the new data sets.
    assert main([*grid, "--out", str(resumed), "--resume"]) == 0
    assert main([*grid[:3], "1,2,3", *grid[4:], "--out", str(resumed), "--resume"]) == 0
    rows = table(path)
    assert len(rows) == 18 and len(comparable(rows)) == len(set(comparable(rows)))


def test_resuming_a_csv_of_another_sweep_is_refused_and_leaves_it(tmp_path, capsys):
    out = tmp_path / "out"
    base = ["sweep", str(GLPK), "-k", "2", "--methods", "uniform", "--seeds", "1", "--workers", "1", "--out", str(out)]
    assert main(base) == 0
    before = (out / "sweep.csv").read_bytes()
    capsys.readouterr()
    assert main([*base, "--check", "--resume"]) == 2  # other columns: the check's
    _, err = capsys.readouterr()
    assert len(err.splitlines()) == 1 and "its columns are not this sweep's" in err, err
    assert (out / "sweep.csv").read_bytes() == before
