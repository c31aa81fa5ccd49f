"""The `pelmora` command's solve and sweep subcommands as users run them, and the README's command
lines: results compared with what the library and an independent max-flow give."""

import csv
import io
import json
import os
import re
import signal
import subprocess
import sys

import pytest
from cli_support import (
    DATA,
    GLPK,
    GRID,
    LEMON_OPTIMUM,
    METHOD,
    SOLVE_ANNOUNCED,
    data_sets,
    generated,
    nx,
    pelmora_run,
    running_cluster,
)

import pelmora
from pelmora_tools import check_feasibility, load_arrays, solve
from pelmora_tools.sweep import progress


@pytest.fixture(scope="module")
def datasets(tmp_path_factory):
    return data_sets(tmp_path_factory.mktemp("sets"))


@pytest.mark.parametrize(
    "name, flags",
    [("glpk-sample.min", []), ("own-grid-40x40.min", []), ("loose", []), ("loose", ["--no-bundle"]),
     ("closed", []), ("parallel", [])],
)
def test_solve_reports_the_lp(datasets, name, flags):
    path = datasets.get(name, DATA / name)
    done = pelmora_run("solve", path, "--json", *flags)
    told = json.loads(done.stdout)
    arrays = load_arrays(path)
    result = solve(arrays, bundle=not flags)
    assert told["status"] == result.status and done.returncode == {"optimal": 0, "infeasible": 1}[result.status]
    assert told["objective"] == (None if result.objective is None else pytest.approx(result.objective))
    if path in LEMON_OPTIMUM:  # one commodity: the single-commodity optimum
        assert told["objective"] == LEMON_OPTIMUM[path]
    if result.status == "infeasible":  # then why: the commodities that fail alone
        alone = check_feasibility(arrays, bundled=False)
        assert [c["feasible"] for c in told["check"]["commodities"]] == [c.feasible for c in alone.commodities]
        assert told["check"]["bundled_status"] == "infeasible" and told["check"]["bundled_by"] == "given"
        text = pelmora_run("solve", path, *flags)
        assert text.returncode == 1 and text.stdout.splitlines()[0].split() == ["status", "infeasible"]
        assert all(f"commodity {c.commodity}: infeasible alone" in text.stdout for c in alone.commodities
                   if not c.feasible)
    else:
        assert "check" not in told


def test_solve_time_limit_is_status_3():
    done = pelmora_run("solve", DATA / "own-net-5000n-12500a.min", "--time-limit", "1e-6", "--json")
    assert json.loads(done.stdout)["status"] == "time-limit" and done.returncode == 3, done.stderr


class FakeTerminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_progress_bar_on_a_terminal_only():
    plain, terminal = io.StringIO(), FakeTerminal()
    failed = "b".__eq__
    assert list(progress(iter("abc"), 3, plain, failed)) == list(progress(iter("abc"), 3, terminal, failed)) == list("abc")
    assert plain.getvalue() == ""
    last = terminal.getvalue().split("\r")[-1]  # the final frame, left on its line
    assert "3/3" in last and "failed=1" in last, terminal.getvalue()


def alone_shortfalls(arrays) -> dict[int, dict[int, int]]:
    """Per commodity (from 0), each demand node's shortfall when that commodity alone is sent as a
    maximum flow from its supplies to its demands (networkx, no bundle rows, no lower bounds)."""
    shortfalls = {}
    for c in range(arrays.num_commodities):
        graph = nx.DiGraph([("s", "t", {"capacity": 0})])
        for tail, head, cap in zip(arrays.tails.tolist(), arrays.heads.tolist(), arrays.capacities[:, c].tolist()):
            if tail != head:
                graph.add_edge(tail, head, capacity=graph.get_edge_data(tail, head, {"capacity": 0})["capacity"] + cap)
        amounts = dict(zip(arrays.node_ids.tolist(), arrays.supplies[:, c].tolist()))
        for node, amount in amounts.items():
            if amount:
                graph.add_edge(*(("s", node) if amount > 0 else (node, "t")), capacity=abs(amount))
        _, flow = nx.maximum_flow(graph, "s", "t")
        short = {node: -amount - flow[node]["t"] for node, amount in amounts.items() if amount < 0}
        shortfalls[c] = {node: value for node, value in short.items() if value > 0}
    return shortfalls


def test_sweep_solves_on_a_running_scheduler(tmp_path):
    out = tmp_path / "out"
    with running_cluster(tmp_path) as address:
        done = pelmora_run("sweep", GLPK, "--commodities", "1,3", "--methods", "uniform,spread", "--seeds", "4-5",
                           "--close", "0.3", "--costs", "1", "2", "--out", out, "--scheduler", address, "--solve",
                           cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    with (out / "sweep.csv").open() as f:
        rows = list(csv.DictReader(f))
    # In the order they finished: each row is appended as its data set is done.
    assert sorted((r["method"], int(r["commodities"]), int(r["seed"])) for r in rows) == sorted(
        (m, k, s) for m in ("uniform", "spread") for k in (1, 3) for s in (4, 5)
    )
    assert len({r["worker_pid"] for r in rows}) == 1 and rows[0]["worker_pid"] != str(os.getpid())
    assert re.fullmatch(rf"8 data sets, 0 failed, on 1 worker process in \d+\.\d s; wrote {re.escape(str(out))}/sweep.csv\n",
                        done.stdout), done.stdout
    assert {r["error"] for r in rows} == {""}
    network = pelmora.load_min_instance(str(GLPK))
    statuses = set()
    for row in rows:
        path = out / row["file"]
        data = pelmora.generate_multi_commodity_data(
            network, int(row["commodities"]), METHOD[row["method"]], randomize_costs=True, cost_a=1.0, cost_b=2.0,
            cap_zero=True, cap_zero_param=0.3, seed=int(row["seed"]),
        )
        pelmora.save_multi_commodity_instance(str(tmp_path / "lib.mcf"), network, data)
        assert path.read_bytes() == (tmp_path / "lib.mcf").read_bytes(), row["file"]
        score = pelmora.compute_commodity_demand_heterogeneity(data.supply_partition, network.supplies)
        assert float(row["heterogeneity"]) == pytest.approx(score, abs=1e-12)
        arrays = load_arrays(path)
        result = solve(arrays)
        statuses.add(result.status)
        assert row["status"] == result.status
        assert (row["objective"] == "") == (result.objective is None)
        assert result.objective is None or float(row["objective"]) == pytest.approx(result.objective)
        short = alone_shortfalls(arrays)
        blocked = [str(c) for c, nodes in short.items() if nodes]
        assert (row["alone_feasible"] == "True", row["blocked_commodities"].split()) == (not blocked, blocked)
        # Named are only nodes short in every maximum flow, among those networkx's one leaves short.
        assert int(row["unserved_nodes"]) <= len({node for nodes in short.values() for node in nodes})
        assert int(row["shortfall"]) == sum(sum(nodes.values()) for nodes in short.values())
    assert statuses == {"optimal", "infeasible"}  # both kinds of row were exercised


def test_readme_command_lines_run(tmp_path):
    # The README's command-line block, line by line, from a directory that sees tests/data as the root does.
    readme = (DATA.parent.parent / "README.md").read_text()
    block = readme.split("## Command line", 1)[1].split("```sh\n", 1)[1].split("```", 1)[0]
    (tmp_path / "tests").mkdir()
    (tmp_path / "tests" / "data").symlink_to(DATA)
    lines = [line.split("#", 1)[0].split() for line in block.splitlines()]
    assert [line[:2] for line in lines] == [["pelmora", c] for c in ("generate", "info", "solve", "export", "sweep")]
    runs = {line[1]: pelmora_run(*line[1:], cwd=tmp_path) for line in lines}
    assert {command: done.returncode for command, done in runs.items()} == dict.fromkeys(runs, 0), runs
    assert json.loads(runs["solve"].stdout)["status"] == "optimal"
    assert sorted(p.name for p in tmp_path.glob("out.*")) == ["out.arc", "out.mcf", "out.mut", "out.nod", "out.sup"]
    with (tmp_path / "runs" / "sweep.csv").open() as f:
        assert len(list(csv.DictReader(f))) == 2 * 3 * 3


def test_solve_and_check_statuses(tmp_path):
    """Exit statuses where the answer is not plain: supplies past 2^31 (the verdict stands, its
    explanation too), a check stopped by its time limit (undecided, 3), a model file the disk
    cannot hold (2, nothing left)."""
    base = tmp_path / "big.min"
    base.write_text("p min 2 1\nn 1 6000000000\nn 2 -6000000000\na 1 2 0 4000000000 1\n")
    big = generated(tmp_path / "big.mcf", base, 2, "uniform")
    arrays = load_arrays(big)
    assert arrays.supplies[0].tolist() == [3 * 10**9] * 2 and solve(arrays).status == "infeasible"
    done = pelmora_run("solve", big, "--json")
    told = json.loads(done.stdout)
    assert (done.returncode, told["status"]) == (1, "infeasible")
    # Each commodity passes the arc alone; together they ask 6e9 of its 4e9.
    assert [c["feasible"] for c in told["check"]["commodities"]] == [True, True]
    assert told["check"]["together"]["shortfall"] == 2 * 10**9
    slow = generated(tmp_path / "slow.mcf", GRID, 20, "spread", randomize_caps=True, randomize_costs=True, seed=7)
    stopped = pelmora_run("info", slow, "--check", "--time-limit", "0.5", "--json")
    assert stopped.returncode == 3 and json.loads(stopped.stdout)["check"]["verdict"] == "undecided", stopped.stderr
    (tmp_path / "full.lp").symlink_to("/dev/full")
    full = pelmora_run("export", GLPK, "--to", "lp", tmp_path / "full.lp")
    assert full.returncode == 2 and full.stderr.startswith("pelmora export: error: ") and "space" in full.stderr


@pytest.mark.parametrize("command", [["solve"], ["info", "--check"]])
def test_ctrl_c_ends_a_solve_with_status_130(tmp_path, command):
    slow = generated(tmp_path / "slow.mcf", GRID, 20, "spread", randomize_caps=True, randomize_costs=True, seed=7)
    program = SOLVE_ANNOUNCED + "from pelmora_tools.cli import main\nsys.exit(main(sys.argv[1:]))\n"
    child = subprocess.Popen([sys.executable, "-c", program, command[0], str(slow), *command[1:], "--json"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stderr is not None and child.stderr.readline() == "solving\n"  # uninterrupted, it runs for minutes
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=600)  # a hang guard
    told = json.loads(out)
    assert child.returncode == 130
    assert told["status"] == "interrupted" if command == ["solve"] else told["check"]["bundled_status"] == "interrupted"
