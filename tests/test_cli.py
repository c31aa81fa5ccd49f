"""The `pelmora` command as users run it: the console script in a subprocess on the bundled instances,
its results compared with what the library gives for the same arguments."""

import contextlib
import csv
import importlib
import io
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import ModuleType

import pytest
from hypothesis import given
from hypothesis import strategies as st

import pelmora


def need(name: str) -> ModuleType:
    """A package the extras bring (`make test` installs them): missing, it fails under CI and skips elsewhere."""
    return importlib.import_module(name) if os.environ.get("CI") else pytest.importorskip(name)


highspy, _, nx, _ = map(need, ["highspy", "scipy", "networkx", "distributed"])
from pelmora_tools import check_feasibility, export_mnetgen, load_arrays, solve, write_model  # noqa: E402
from pelmora_tools.cli import main  # noqa: E402
from pelmora_tools.sweep import progress  # noqa: E402

DATA = Path(__file__).parent / "data"
GLPK = DATA / "glpk-sample.min"
GRID = DATA / "own-grid-40x40.min"
SCRIPT = Path(sys.executable).parent / "pelmora"
METHOD = {"spread": 0, "uniform": 1, "beta-binomial": 2}
# Optima of the bundled instances found by LEMON's network simplex (tests/data/FACTS.md).
LEMON_OPTIMUM = {GLPK: 213, GRID: 27405930}


def pelmora_run(*args: object, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(SCRIPT), *map(str, args)], capture_output=True, text=True, timeout=600, cwd=cwd)


def generated(path: Path, instance: Path, k: int, method: str, **kwargs: object) -> Path:
    network = pelmora.load_min_instance(str(instance))
    data = pelmora.generate_multi_commodity_data(network, k, METHOD[method], **kwargs)
    pelmora.save_multi_commodity_instance(str(path), network, data)
    return path


@pytest.fixture(scope="module")
def datasets(tmp_path_factory):
    """Multicommodity files: a loose one, one closed too much to be served, a randomised one with parallel arcs."""
    tmp = tmp_path_factory.mktemp("sets")
    return {
        "loose": generated(tmp / "loose.mcf", GLPK, 3, "spread", seed=5),
        "closed": generated(tmp / "closed.mcf", GLPK, 3, "spread", cap_zero=True, cap_zero_param=0.6),
        "parallel": generated(
            tmp / "parallel.mcf", DATA / "own-net-parallel-300n-9000a.min", 2, "beta-binomial", randomize_caps=True,
            randomize_costs=True, cap_zero=True, cap_zero_param=0.1, seed=3,
        ),
    }


@pytest.mark.parametrize("command", ["", "generate", "info", "export", "solve", "sweep"])
def test_help_everywhere(command):
    done = pelmora_run(*filter(None, [command]), "--help")
    assert done.returncode == 0 and done.stderr == ""
    assert done.stdout.startswith(f"usage: pelmora {command}".rstrip())
    if not command:  # python -m runs the same command
        module = subprocess.run([sys.executable, "-m", "pelmora_tools", "--help"], capture_output=True, text=True)
        assert module.returncode == 0 and module.stdout == done.stdout


@pytest.mark.parametrize(
    "instance, flags, kwargs",
    [
        (GLPK, "-k 3 --method spread --seed 5 --caps 0.5 1 --close 0.2",
         dict(num_commodities=3, method=0, seed=5, randomize_caps=True, cap_a=0.5, cap_b=1.0, cap_zero=True,
              cap_zero_param=0.2)),
        (DATA / "own-net-parallel-300n-9000a.min", "--commodities 2 --method beta-binomial --costs 0.9 1.5 "
         "--concentration 0.5", dict(num_commodities=2, method=2, randomize_costs=True, cost_a=0.9, cost_b=1.5,
                                     concentration_param=0.5)),
        (GRID, "-k 4 --method uniform", dict(num_commodities=4, method=1)),
    ],
)
def test_generate_writes_what_the_library_writes(tmp_path, instance, flags, kwargs):
    done = pelmora_run("generate", instance, tmp_path / "cli.mcf", *flags.split())
    assert done.returncode == 0, done.stderr
    network = pelmora.load_min_instance(str(instance))
    pelmora.save_multi_commodity_instance(
        str(tmp_path / "lib.mcf"), network, pelmora.generate_multi_commodity_data(network, **kwargs)
    )
    assert (tmp_path / "cli.mcf").read_bytes() == (tmp_path / "lib.mcf").read_bytes()


pair = st.tuples(st.floats(0.1, 1.0), st.floats(1.0, 3.0))


@given(
    k=st.integers(1, 5), method=st.sampled_from(sorted(METHOD)), seed=st.none() | st.integers(0, 2**64 - 1),
    caps=st.none() | pair, costs=st.none() | pair, concentration=st.none() | st.floats(0.05, 50.0),
    close=st.none() | st.floats(0.01, 0.99),
)
def test_generate_flags_reach_the_generator(k, method, seed, caps, costs, concentration, close):
    # Each flag given or left out on its own: the defaults must be the generator's, the pairs in order.
    argv = [str(GLPK), "", "-k", str(k), "--method", method]
    kwargs: dict[str, object] = {}
    if seed is not None:
        argv += ["--seed", str(seed)]
        kwargs["seed"] = seed
    if caps:
        argv += ["--caps", *map(repr, caps)]
        kwargs.update(randomize_caps=True, cap_a=caps[0], cap_b=caps[1])
    if costs:
        argv += ["--costs", *map(repr, costs)]
        kwargs.update(randomize_costs=True, cost_a=costs[0], cost_b=costs[1])
    if concentration:
        argv += ["--concentration", repr(concentration)]
        kwargs["concentration_param"] = concentration
    if close:
        argv += ["--close", repr(close)]
        kwargs.update(cap_zero=True, cap_zero_param=close)
    network = pelmora.load_min_instance(str(GLPK))
    with tempfile.TemporaryDirectory() as name:  # hypothesis runs many examples per function-scoped tmp_path
        tmp = Path(name)
        argv[1] = str(tmp / "cli.mcf")
        assert main(["generate", *argv]) == 0
        data = pelmora.generate_multi_commodity_data(network, k, METHOD[method], **kwargs)
        pelmora.save_multi_commodity_instance(str(tmp / "lib.mcf"), network, data)
        assert (tmp / "cli.mcf").read_bytes() == (tmp / "lib.mcf").read_bytes()


@pytest.mark.parametrize(
    "argv, says",
    [
        ([], "required: COMMAND"),
        (["generate", GLPK, "OUT", "-k", "2"], "--method"),
        (["generate", GLPK, "OUT", "-k", "2", "--method", "zipf"], "invalid choice: 'zipf'"),
        (["generate", GLPK, "OUT", "-k", "0", "--method", "uniform"], "at least 1, got '0'"),
        (["generate", GLPK, "OUT", "-k", "2", "--method", "uniform", "--close", "1"], "between 0 and 1"),
        (["generate", GLPK, "OUT", "-k", "2", "--method", "uniform", "--caps", "0.5", "inf"], "finite"),
        (["generate", DATA / "none.min", "OUT", "-k", "2", "--method", "uniform"], "none.min: No such file"),
        (["info", DATA / "none.mcf"], "none.mcf: No such file"),
        (["export", GLPK, "--to", "mnetgen", "OUT"], "arc 5 (3 -> 5) has lower bound 2"),
        (["export", GRID, "--to", "mps", "OUT.lp"], "must end in .mps"),
        (["export", GRID, "--to", "mnetgen", "OUT", "--no-bundle"], "--no-bundle"),
        (["export", GRID, "--to", "lp", "OUT.lp", "--map"], "--map"),
        (["solve", GRID, "--time-limit", "0"], "above 0"),
        (["sweep", GLPK, "-k", "2", "--methods", "spread,zipf", "--seeds", "1", "--out", "OUT"], "among"),
        (["sweep", GLPK, "-k", "2", "--methods", "spread", "--seeds", "5-1", "--out", "OUT"], "ranges"),
        (["sweep", GLPK, "-k", "2", "--methods", "spread", "--seeds", "1", "--out", "OUT", "--workers", "1",
          "--scheduler", "tcp://127.0.0.1:1"], "not allowed with"),
    ],
)
def test_usage_errors_are_one_line_with_status_2(tmp_path, capsys, argv, says):
    argv = [str(tmp_path / "OUT") + a[3:] if isinstance(a, str) and a.startswith("OUT") else str(a) for a in argv]
    try:
        status = main(argv)
    except SystemExit as exit_:
        status = exit_.code
    out, err = capsys.readouterr()
    assert status == 2 and out == ""
    assert len(err.splitlines()) == 1 and err.startswith("pelmora") and says in err, err
    assert list(tmp_path.iterdir()) == []  # nothing written


def library_facts(path: Path) -> dict[str, object]:
    """What `pelmora info` should say, from the module's dict views (not from the arrays it uses)."""
    if path.suffix == ".min":
        network = pelmora.load_min_instance(str(path))
        return {"kind": "min", "nodes": network.num_nodes, "arcs": network.num_arcs, "commodities": 1,
                "supply": [sum(s for s in network.supplies.values() if s > 0)],
                "closed_arcs": [network.capacities.count(0)], "heterogeneity": 0.0}
    parsed = pelmora.load_multi_commodity_instance(str(path))
    k, partition = parsed.num_commodities, parsed.commodity_supply_demand_data
    return {
        "kind": "multicommodity", "nodes": parsed.num_nodes, "arcs": parsed.num_arcs, "commodities": k,
        "method": {v: n for n, v in METHOD.items()}[parsed.method], "seed": parsed.seed,
        "randomized_capacities": parsed.randomized_capacities, "randomized_costs": parsed.randomized_weights,
        "closing": parsed.cap_zero, "closed_fraction": parsed.cap_zero_param,
        "supply": [sum(max(v[c], 0) for v in partition.values()) for c in range(k)],
        "closed_arcs": [sum(caps[c] == 0 for caps in parsed.commodity_capacities.values()) for c in range(k)],
        "heterogeneity": pelmora.compute_commodity_demand_heterogeneity(partition, parsed.supplies),
    }


@pytest.mark.parametrize("name", ["glpk-sample.min", "own-net-5000n-12500a-trans.min", "loose", "closed", "parallel"])
def test_info_tells_what_the_library_reads(datasets, name):
    path = datasets.get(name, DATA / name)
    done = pelmora_run("info", path, "--json")
    assert done.returncode == 0, done.stderr
    told = json.loads(done.stdout)
    facts = library_facts(path)
    assert told["heterogeneity"] == pytest.approx(facts.pop("heterogeneity"), abs=1e-12)
    assert {key: told[key] for key in facts} == facts
    text = pelmora_run("info", path).stdout
    table = [line.split() for line in text.splitlines()[-told["commodities"]:]]
    assert table == [[str(c + 1), str(s), str(z)] for c, (s, z) in enumerate(zip(told["supply"], told["closed_arcs"]))]


@pytest.mark.parametrize("name", ["glpk-sample.min", "loose", "closed", "parallel"])
def test_info_check_agrees_with_the_lp(datasets, name):
    # The check routes each commodity alone and then the bundled model; the full LP is the referee.
    path = datasets.get(name, DATA / name)
    done = pelmora_run("info", path, "--check", "--json")
    feasible = solve(load_arrays(path)).status == "optimal"
    assert json.loads(done.stdout)["check"]["feasible"] == feasible
    assert done.returncode == (0 if feasible else 1), done.stderr
    text = pelmora_run("info", path, "--check")
    assert text.returncode == done.returncode
    assert text.stdout.splitlines()[-1] == ("feasible" if feasible else "infeasible")


def highs_optimum(path: Path) -> float | None:
    """HiGHS reading a model file by itself (not through the package) and solving it."""
    highs = highspy.Highs()
    highs.setOptionValue("output_flag", False)
    assert highs.readModel(str(path)) == highspy.HighsStatus.kOk
    highs.run()
    if highs.getModelStatus() != highspy.HighsModelStatus.kOptimal:
        return None
    return highs.getInfo().objective_function_value


@pytest.mark.parametrize(
    "name, to, flags",
    [("own-grid-40x40.min", "mnetgen", ["--map"]), ("parallel", "mnetgen", []), ("loose", "mps", []),
     ("loose", "lp", ["--no-bundle"]), ("closed", "mps", [])],
)
def test_export_writes_what_the_library_writes(datasets, tmp_path, name, to, flags):
    path = datasets.get(name, DATA / name)
    target = tmp_path / ("out" if to == "mnetgen" else f"out.{to}")
    done = pelmora_run("export", path, "--to", to, target, *flags)
    assert done.returncode == 0 and done.stdout == "" and done.stderr == "", done.stderr
    arrays = load_arrays(path)
    if to == "mnetgen":
        mapping = export_mnetgen(arrays, tmp_path / "lib", write_map="--map" in flags)
        suffixes = [".nod", ".arc", ".sup", ".mut"] + ([".map"] if "--map" in flags else [])
        assert sorted(p.name for p in tmp_path.glob("out.*")) == sorted(f"out{s}" for s in suffixes)
        for suffix in suffixes:
            assert (tmp_path / f"out{suffix}").read_bytes() == (tmp_path / f"lib{suffix}").read_bytes()
        if "--map" in flags:
            assert [int(line.split()[1]) for line in (tmp_path / "out.map").read_text().splitlines()] == list(mapping)
        return
    bundle = "--no-bundle" not in flags
    expected = solve(arrays, bundle=bundle).objective
    assert highs_optimum(target) == (None if expected is None else pytest.approx(expected))
    write_model(arrays, tmp_path / f"lib.{to}", bundle=bundle)
    assert target.read_bytes() == (tmp_path / f"lib.{to}").read_bytes()


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
        assert told["check"]["commodities"] == alone.to_dict()["commodities"]
        assert told["check"]["bundled_status"] == "infeasible"
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
    assert list(progress(iter("abc"), 3, plain)) == list(progress(iter("abc"), 3, terminal)) == list("abc")
    assert plain.getvalue() == ""
    frames = terminal.getvalue().split("\r")[1:]
    assert [f.split()[-1] for f in frames] == ["1/3", "2/3", "3/3"] and frames[-1].endswith("\n")
    assert frames[-1].count("#") == 30 and "." not in frames[-1].split()[0]


def alone_shortfalls(arrays) -> dict[int, dict[int, int]]:
    """Per commodity (from 1), each demand node's shortfall when that commodity alone is sent as a
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
        shortfalls[c + 1] = {node: value for node, value in short.items() if value > 0}
    return shortfalls


@contextlib.contextmanager
def running_cluster(tmp_path: Path):
    """A scheduler and one worker in their own processes, on 127.0.0.1; yields the scheduler's address."""
    info = tmp_path / "scheduler.json"
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=tmp_path)
    scheduler = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
         "--no-dashboard", "--scheduler-file", str(info)], **quiet,
    )
    worker = None
    try:
        deadline = time.monotonic() + 60
        while not info.exists() or not info.read_text().strip():
            assert scheduler.poll() is None and time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.1)
        worker = subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file", str(info), "--nworkers", "1",
             "--nthreads", "1", "--no-nanny", "--host", "127.0.0.1", "--no-dashboard"], **quiet,
        )
        yield json.loads(info.read_text())["address"]
    finally:
        for proc in (worker, scheduler):
            if proc is not None:
                proc.terminate()
                proc.wait(timeout=60)


def test_sweep_solves_on_a_running_scheduler(tmp_path):
    out = tmp_path / "out"
    with running_cluster(tmp_path) as address:
        done = pelmora_run("sweep", GLPK, "--commodities", "1,3", "--methods", "uniform,spread", "--seeds", "4-5",
                           "--close", "0.3", "--costs", "1", "2", "--out", out, "--scheduler", address, "--solve",
                           cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    with (out / "sweep.csv").open() as f:
        rows = list(csv.DictReader(f))
    assert [(r["method"], int(r["commodities"]), int(r["seed"])) for r in rows] == [
        (m, k, s) for m in ("uniform", "spread") for k in (1, 3) for s in (4, 5)
    ]
    assert len({r["worker_pid"] for r in rows}) == 1 and rows[0]["worker_pid"] != str(os.getpid())
    assert f"8 data sets on 1 worker processes; wrote {out / 'sweep.csv'}" in done.stdout
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
        assert int(row["unserved_nodes"]) == len({node for nodes in short.values() for node in nodes})
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
