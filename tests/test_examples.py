"""The example programs run for real: pictures are drawn, a sweep runs on two local worker processes.

The examples need matplotlib, dask.distributed and pandas (`make test` installs them). Outside CI a
missing one skips these tests; under CI=true it fails them, so a broken install step cannot hide.
"""

import importlib
import importlib.util
import os
import subprocess
import sys
from pathlib import Path
from types import ModuleType

import pytest
from hypothesis import given
from hypothesis import strategies as st

import pelmora

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def need(name: str) -> ModuleType:
    """Imports a module the examples need; a missing one fails under CI and skips elsewhere."""
    if os.environ.get("CI"):
        return importlib.import_module(name)
    return pytest.importorskip(name)


need("matplotlib")
need("distributed")
pd = need("pandas")


def load_example(name: str) -> ModuleType:
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


HETEROGENEITY = load_example("heterogeneity")
GLPK_SAMPLE = pelmora.load_min_instance(str(ROOT / "tests/data/glpk-sample.min"))


def run(args: list[str], cwd: Path, timeout: float = 300) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONUNBUFFERED="1")
    done = subprocess.run(
        [sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout
    )
    assert done.returncode == 0, f"{args} failed:\n{done.stdout}\n{done.stderr}"
    return done


class TestHeterogeneity:
    def test_default_run_draws_three_pictures(self, tmp_path):
        image = importlib.import_module("matplotlib.image")
        done = run([str(EXAMPLES / "heterogeneity.py"), "--out", str(tmp_path / "png")], cwd=tmp_path)
        names = ["heterogeneity_concentration.png", "heterogeneity_k.png", "supply_shares.png"]
        assert sorted(p.name for p in (tmp_path / "png").iterdir()) == sorted(names)
        for name in names:
            path = tmp_path / "png" / name
            assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
            pixels = image.imread(path)
            # A real picture: the figure's size at 110 dpi, and not a single flat colour.
            assert pixels.shape[0] >= 500 and pixels.shape[1] >= 800
            assert pixels[..., :3].std() > 0.05
            assert f"wrote {path}" in done.stdout

    def test_options_reach_the_pictures(self, tmp_path):
        run(
            [str(EXAMPLES / "heterogeneity.py"), str(ROOT / "tests/data/glpk-sample.min"), "--out", str(tmp_path),
             "--seeds", "2", "--max-k", "3", "--shares-k", "2", "--commodity", "1"],
            cwd=tmp_path,
        )
        assert all((tmp_path / n).stat().st_size > 0 for n in ("heterogeneity_k.png", "supply_shares.png"))

    def test_rejects_a_commodity_outside_k(self, tmp_path):
        done = subprocess.run(
            [sys.executable, str(EXAMPLES / "heterogeneity.py"), "--shares-k", "2", "--commodity", "2"],
            cwd=tmp_path, capture_output=True, text=True, timeout=120,
        )
        assert done.returncode == 2 and "--commodity" in done.stderr
        assert not list(tmp_path.glob("*.png"))

    @given(
        supplies=st.dictionaries(st.integers(-50, 50), st.integers(-10_000, 10_000), max_size=12),
        k=st.integers(1, 6),
        method=st.sampled_from([0, 1, 2]),
        seed=st.integers(0, 2**64 - 1),
    )
    def test_its_splits_are_the_generators_splits(self, supplies, k, method, seed):
        # The example plots the split functions directly; they must be the ones generation uses.
        generated = pelmora.generate_multi_commodity_data(GLPK_SAMPLE, k, method, seed=seed).supply_partition
        assert HETEROGENEITY.split_for(method)(GLPK_SAMPLE.supplies, k, seed) == generated
        # The share helper: every supply node once, ascending; a node's shares over all commodities add up to 1.
        partition = HETEROGENEITY.split_for(method)(supplies, k, seed)
        per_commodity = [HETEROGENEITY.commodity_shares(partition, supplies, c) for c in range(k)]
        nodes = sorted(v for v, total in supplies.items() if total > 0)
        assert all(found == nodes for found, _ in per_commodity)
        for i in range(len(nodes)):
            assert sum(shares[i] for _, shares in per_commodity) == pytest.approx(1.0)
            assert all(0.0 <= shares[i] <= 1.0 for _, shares in per_commodity)

    def test_log_space(self):
        values = HETEROGENEITY.log_space(0.01, 100.0, 5)
        assert values == pytest.approx([0.01, 0.1, 1.0, 10.0, 100.0])
        assert HETEROGENEITY.log_space(2.0, 9.0, 1) == [2.0]


SWEEP_METHODS = {"spread": 0, "uniform": 1, "beta-binomial": 2}
SWEEP_KS = [1, 3]
SWEEP_SEEDS = [5, 6]


@pytest.fixture(scope="module")
def swept(tmp_path_factory):
    """A tiny sweep on a LocalCluster of two worker processes: (out dir, sweep pid, instance, table, stdout)."""
    out = tmp_path_factory.mktemp("sweep")
    instance = ROOT / "tests/data/own-net-parallel-300n-9000a.min"
    args = [
        str(EXAMPLES / "sweep.py"), str(instance), "--out", str(out), "--k", *map(str, SWEEP_KS),
        "--seeds", str(len(SWEEP_SEEDS)), "--first-seed", str(SWEEP_SEEDS[0]), "--workers", "2",
    ]
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    with subprocess.Popen(
        [sys.executable, *args], cwd=out, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    ) as proc:
        stdout, stderr = proc.communicate(timeout=600)
    assert proc.returncode == 0, f"sweep failed:\n{stdout}\n{stderr}"
    assert "\r" not in stderr  # no progress bar when standard error is not a terminal
    return out, proc.pid, pelmora.load_min_instance(str(instance)), pd.read_csv(out / "sweep.csv"), stdout


class TestSweep:
    """The tiny sweep, checked file by file against its CSV."""

    def test_one_row_per_point(self, swept):
        out, _, _, table, stdout = swept
        points = list(zip(table["method"], table["commodities"], table["seed"], strict=True))
        assert sorted(points) == sorted((m, k, s) for m in SWEEP_METHODS for k in SWEEP_KS for s in SWEEP_SEEDS)
        assert sorted(p.name for p in out.glob("*.mcf")) == sorted(table["file"])
        assert f"{len(table)} data sets, 0 failed, on" in stdout

    def test_printed_means_are_the_tables(self, swept):
        _, _, _, table, stdout = swept
        means = table.groupby(["method", "commodities"], sort=False)["heterogeneity"].mean()
        printed = {(line.split()[0], int(line.split()[1])): float(line.split()[2])
                   for line in stdout.splitlines() if line.split()[0] in SWEEP_METHODS}
        assert printed == {key: pytest.approx(value, abs=5e-5) for key, value in means.items()}

    def test_tasks_ran_in_worker_processes(self, swept):
        _, client_pid, _, table, _ = swept
        pids = set(table["worker_pid"])
        assert client_pid not in pids and os.getpid() not in pids
        assert 1 <= len(pids) <= 2

    def test_every_file_loads_back_and_matches_its_row(self, swept):
        out, _, instance, table, _ = swept
        supplies = instance.supplies
        for row in table.itertuples():
            parsed = pelmora.load_multi_commodity_instance(str(out / row.file))
            assert (parsed.num_commodities, parsed.method, parsed.seed) == (
                row.commodities, SWEEP_METHODS[row.method], row.seed
            )
            assert parsed.randomized_capacities and parsed.randomized_weights and parsed.cap_zero
            assert parsed.cap_zero_param == row.close == 0.1
            assert (parsed.num_nodes, parsed.num_arcs) == (instance.num_nodes, instance.num_arcs)
            assert parsed.edges == instance.arcs

            partition = parsed.commodity_supply_demand_data
            score = pelmora.compute_commodity_demand_heterogeneity(partition, supplies)
            assert score == pytest.approx(row.heterogeneity, rel=1e-12, abs=1e-15)
            supply = [sum(max(v[c], 0) for v in partition.values()) for c in range(row.commodities)]
            assert (min(supply), max(supply)) == (row.min_commodity_supply, row.max_commodity_supply)
            closed = sum(caps.count(0) for caps in parsed.commodity_capacities.values())
            assert closed == row.closed_pairs

    def test_workers_wrote_what_this_process_would(self, swept, tmp_path):
        # Seeded generation gives the same bytes in every process.
        out, _, instance, table, _ = swept
        for row in table.itertuples():
            data = pelmora.generate_multi_commodity_data(
                instance, row.commodities, SWEEP_METHODS[row.method], randomize_caps=True, randomize_costs=True,
                cap_zero=True, cap_zero_param=0.1, seed=row.seed,
            )
            mine = tmp_path / row.file
            pelmora.save_multi_commodity_instance(str(mine), instance, data)
            assert mine.read_bytes() == (out / row.file).read_bytes(), row.file
