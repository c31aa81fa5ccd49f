"""The `pelmora` command as users run it: the console script in a subprocess on the bundled instances,
its results compared with what the library gives for the same arguments."""

import json
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from cli_support import DATA, GLPK, GRID, METHOD, data_sets, highspy, pelmora_run
from hypothesis import given
from hypothesis import strategies as st

import pelmora
from pelmora_tools import export_mnetgen, load_arrays, solve, write_model
from pelmora_tools.cli import main


@pytest.fixture(scope="module")
def datasets(tmp_path_factory):
    return data_sets(tmp_path_factory.mktemp("sets"))


@pytest.mark.parametrize("command", ["", "generate", "info", "export", "solve", "sweep"])
def test_help_everywhere(command):
    done = pelmora_run(*filter(None, [command]), "--help")
    assert done.returncode == 0 and done.stderr == ""
    assert done.stdout.startswith(f"usage: pelmora {command}".rstrip()) and "``" not in done.stdout
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
        (["generate", GLPK, "OUT", "-k", "4", "--method", "beta-binomial", "--concentration", "5e307"],
         "5e+307 is too large for 4 commodities"),
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
    assert table == [[str(c), str(s), str(z)] for c, (s, z) in enumerate(zip(told["supply"], told["closed_arcs"]))]


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
    assert done.returncode == 0 and done.stdout == "" and done.stderr.startswith(f"wrote {target}"), done.stderr
    assert len(done.stderr.splitlines()) == 1
    assert pelmora_run("export", path, "--to", to, target, *flags, "--quiet").stderr == ""
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
