"""The three splits and the balancing that ends each of them.

The random splits are pinned by the reference cases (made with the original crates); the
properties below hold for every seed. Balancing is batched in C++ for speed; a native checker
compares it, unit for unit and draw for draw, with a plain model of the balancing steps.
"""

import json
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelmora

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
# The benchmark's plain-Python peer doubles as the model here, which also keeps that peer honest.
from bench_splits import uniform_py as model_uniform  # noqa: E402

CASES = json.loads((ROOT / "tests" / "data" / "rng.json").read_text())["cases"]
SPLIT_CASES = [c for c in CASES if c["command"] == "split"]
I64_MIN = -(2**63)


def split(method, data, k, seed=42, c=3.0):
    if method == "uniform":
        return pelmora.split_supplies_uniform(data, k)
    if method == "spread":
        return pelmora.split_supplies_spread(data, k, seed)
    return pelmora.split_supplies_beta_binomial(data, k, c, seed)


METHODS = ["uniform", "spread", "beta_binomial"]


# ---- reference cases ------------------------------------------------------------------------


@pytest.mark.parametrize("case", SPLIT_CASES, ids=[f"{i}:{c['name']}" for i, c in enumerate(SPLIT_CASES)])
def test_reference_case(case):
    i = case["input"]
    result = split(i["method"], dict(map(tuple, i["data"])), i["k"], i["seed"], i["c"])
    assert [[node, amounts] for node, amounts in result.items()] == case["output"]["partition"]


# ---- worked examples and edge cases -----------------------------------------------------------


def test_uniform_worked_example():
    # Every commodity ends in surplus here, so balancing leaves the split as it is; node 2 starts
    # its units at commodity 1 because the cursor carries over from node 1.
    assert pelmora.split_supplies_uniform({1: 7, 2: 5, 3: -4}, 3) == {1: [3, 2, 2], 2: [1, 2, 2], 3: [-2, -1, -1]}


def test_uniform_edges():
    assert pelmora.split_supplies_uniform({}, 3) == {}
    assert pelmora.split_supplies_uniform({}, 0) == {}
    assert pelmora.split_supplies_uniform({4: 0, 9: 6}, 3) == {4: [0, 0, 0], 9: [2, 2, 2]}
    assert pelmora.split_supplies_uniform({1: 5, 2: -3}, 1) == {1: [5], 2: [-3]}
    # Truncation toward zero: -7 / 3 gives -2 per commodity and one extra -1.
    assert pelmora.split_supplies_uniform({1: -7}, 3) == {1: [-3, -2, -2]}
    # More commodities than units: the units go to the commodities from the cursor on.
    assert pelmora.split_supplies_uniform({1: 2, 2: 1}, 5) == {1: [1, 1, 0, 0, 0], 2: [0, 0, 1, 0, 0]}
    # The most negative total divides exactly; nothing needs its absolute value.
    assert pelmora.split_supplies_uniform({1: I64_MIN}, 2) == {1: [I64_MIN // 2, I64_MIN // 2]}


def test_random_split_edges():
    for method in ["spread", "beta_binomial"]:
        assert split(method, {}, 3) == {}
        # Zero totals get no entry and draw nothing, so they change nothing else.
        base = split(method, {1: 10, 3: -10}, 3, seed=5)
        assert split(method, {1: 10, 2: 0, 3: -10, 4: 0}, 3, seed=5) == base
        # K = 1 copies every total and draws nothing; the most negative total is fine there.
        assert split(method, {1: 4, 2: I64_MIN}, 1, seed=1) == {1: [4], 2: [I64_MIN]}
    for seed in range(20):
        assert sorted(pelmora.split_supplies_spread({1: 1}, 3, seed)[1]) == [0, 0, 1]
        amounts = pelmora.split_supplies_beta_binomial({1: -1}, 4, 3.0, seed)[1]
        assert sorted(amounts) == [-1, 0, 0, 0]
    assert pelmora.split_supplies_beta_binomial({1: 50, 2: -50}, 4) == pelmora.split_supplies_beta_binomial(
        {1: 50, 2: -50}, 4, 3.0, 42
    )
    # The seed is used: a few seeds do not all give the same split.
    for method in ["spread", "beta_binomial"]:
        assert len({str(split(method, {1: 1000, 2: -1000}, 4, seed)) for seed in range(4)}) > 1


def test_target_can_overshoot_within_a_pass():
    # Uniform gives [3,2,2] [0,-1,0] [-2,-2,-3] [1,0,0], nets (2, -1, -1). Pass 1 (source 0,
    # deficit list [1, 2]): node 1 gives commodity 1 a unit, which balances it, yet the list stays
    # fixed, so at node 2 commodity 1 (the only value below 0 there) takes another unit and ends
    # the pass in surplus. Pass 2 (source 1) hands that unit to commodity 2 at node 3.
    data = {1: 7, 2: -1, 3: -7, 4: 1}
    expected = {1: [2, 3, 2], 2: [-1, 0, 0], 3: [-2, -3, -2], 4: [1, 0, 0]}
    assert pelmora.split_supplies_uniform(data, 3) == expected
    assert model_uniform(data, 3) == expected


# ---- refusals -------------------------------------------------------------------------------


def test_refusals():
    with pytest.raises(ValueError, match="num_commodities"):
        pelmora.split_supplies_uniform({1: 0}, 0)
    for method in ["spread", "beta_binomial"]:
        assert split(method, {1: 0, 2: 0}, 0) == {}
        with pytest.raises(ValueError, match="num_commodities"):
            split(method, {1: 0, 2: 3}, 0)
        with pytest.raises(ValueError, match="data"):
            split(method, {1: 5, 2: I64_MIN}, 2)
    for c in [0.0, -1.0, float("nan"), float("inf"), float("-inf")]:
        with pytest.raises(ValueError, match="concentration_param"):
            pelmora.split_supplies_beta_binomial({1: 3}, 2, c, 1)
        # No Beta distribution is built with K = 1 or without a non-zero total.
        assert pelmora.split_supplies_beta_binomial({1: 3}, 1, c, 1) == {1: [3]}
        assert pelmora.split_supplies_beta_binomial({1: 0}, 5, c, 1) == {}
    with pytest.raises(ValueError, match="concentration_param"):
        pelmora.split_supplies_beta_binomial({1: 3}, 3, 1e308, 1)
    # Refused before anything is computed: the input dict is untouched.
    data = {1: 5, 2: -5}
    with pytest.raises(ValueError):
        pelmora.split_supplies_beta_binomial(data, 3, -1.0, 1)
    assert data == {1: 5, 2: -5}


# ---- properties -----------------------------------------------------------------------------

small_totals = st.integers(-(10**6), 10**6)
node_ids = st.integers(-(2**40), 2**40)


@st.composite
def supply_maps(draw, balanced=None):
    data = draw(st.dictionaries(node_ids, small_totals, max_size=12))
    if balanced is None:
        balanced = draw(st.booleans())
    if balanced and data:
        last = max(data)
        data[last] -= sum(data.values())
    return data


def nets(partition, k):
    return [sum(amounts[c] for amounts in partition.values()) for c in range(k)]


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(
    method=st.sampled_from(METHODS),
    data=supply_maps(),
    k=st.integers(1, 8),
    seed=st.integers(0, 2**64 - 1),
    c=st.floats(0.05, 50.0),
)
def test_split_properties(method, data, k, seed, c):
    result = split(method, data, k, seed, c)
    assert split(method, data, k, seed, c) == result
    assert list(result) == sorted(result)
    expected_nodes = sorted(data) if method == "uniform" else sorted(n for n, t in data.items() if t != 0)
    assert list(result) == expected_nodes
    for node, amounts in result.items():
        total = data[node]
        assert len(amounts) == k
        assert sum(amounts) == total
        assert all(a >= 0 for a in amounts) if total > 0 else all(a <= 0 for a in amounts)
    net = nets(result, k)
    # Balancing stops once no commodity is in surplus while another is in deficit ...
    assert not (any(n > 0 for n in net) and any(n < 0 for n in net))
    # ... so on a network whose supplies and demands match, every commodity balances.
    if sum(data.values()) == 0:
        assert net == [0] * k


@given(data=supply_maps(), k=st.integers(1, 6))
def test_uniform_matches_plain_model(data, k):
    assert pelmora.split_supplies_uniform(data, k) == model_uniform(data, k)


# ---- the batched balancing against the plain one, in C++ -------------------------------------


@pytest.fixture(scope="session")
def balance_check(native_program):
    return str(native_program("balance_check"))


def test_balancing_examples(balance_check):
    out = subprocess.run([balance_check, "examples"], capture_output=True, text=True)
    assert out.stdout == "ok\n", out.stdout


def test_balancing_fuzz(balance_check):
    out = subprocess.run([balance_check, "fuzz", "1500", "2024"], capture_output=True, text=True)
    assert out.stdout == "ok 1500\n", out.stdout


def test_whole_splits_equal_cuts_then_plain_balancing(balance_check):
    # Real split outputs with totals up to 3e6, so that long batches of passes are replayed.
    out = subprocess.run([balance_check, "splits", "150", "7"], capture_output=True, text=True)
    assert out.stdout == "ok 150\n", out.stdout


@st.composite
def partitions(draw):
    # Many commodities with small totals keep the surplus and deficit lists changing; few with
    # large totals make the long replayed batches.
    if draw(st.booleans()):
        k, scale = draw(st.integers(8, 150)), draw(st.sampled_from([4, 60, 1_000]))
    else:
        k, scale = draw(st.integers(1, 7)), draw(st.sampled_from([4, 300, 20_000, 2_000_000]))
    n = draw(st.integers(1, 12))
    totals = draw(st.lists(st.integers(-scale, scale), min_size=n, max_size=n))
    if draw(st.booleans()):
        totals[-1] -= sum(totals)
    rows = []
    for node, total in enumerate(totals):
        cuts = sorted(draw(st.lists(st.integers(0, abs(total)), min_size=k - 1, max_size=k - 1)))
        pieces = [b - a for a, b in zip([0, *cuts], [*cuts, abs(total)])]
        sign = -1 if total < 0 else 1
        rows.append((3 * node - 7, total, [sign * p for p in pieces]))
    return k, draw(st.booleans()), draw(st.integers(0, 2**64 - 1)), rows


@settings(max_examples=200)
@given(case=partitions())
def test_balancing_equals_plain(balance_check, case):
    k, use_rng, seed, rows = case
    text = f"{k} {int(use_rng)} {seed} {len(rows)}\n" + "".join(
        f"{node} {total} {' '.join(map(str, amounts))}\n" for node, total, amounts in rows
    )
    out = subprocess.run([balance_check, "stdin"], input=text, capture_output=True, text=True)
    assert out.stdout == "ok\n", out.stdout


def test_many_commodity_balancing(balance_check):
    # 10^5 commodities on two nodes: a balancer that rebuilt its lists from all K net totals in
    # every pass needed minutes here.
    k = 10**5
    parts = pelmora.split_supplies_spread({1: 10**6, 2: -(10**6)}, k, 1)
    assert sum(parts[1]) == 10**6 and min(parts[1]) >= 0
    assert all(a == -b for a, b in zip(parts[1], parts[2], strict=True))
    # A tenth of it, where the plain model still finishes: the same partition unit for unit.
    out = subprocess.run([balance_check, "spread", str(k // 10), "1"], input="1 100000\n2 -100000\n",
                         capture_output=True, text=True, check=True).stdout
    plain = {int(row[0]): [int(a) for a in row[1:]] for row in map(str.split, out.splitlines())}
    assert pelmora.split_supplies_spread({1: 10**5, 2: -(10**5)}, k // 10, 1) == plain
