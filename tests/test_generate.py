"""generate_multi_commodity_data: reference cases, the worked exclusion examples, refusals, and the
invariants of every view of MultiCommodityData over random networks."""

import json
import math
from pathlib import Path

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import pelmora

CASES = json.loads((Path(__file__).parent / "data" / "rng.json").read_text())["cases"]
GENERATE_CASES = [c for c in CASES if c["command"] == "generate"]
OPTIONS = ["randomize_caps", "cap_a", "cap_b", "randomize_costs", "cost_a", "cost_b", "concentration_param",
           "cap_zero", "cap_zero_param", "seed"]


def min_lines(edges, supplies):
    """A .min text for arcs (tail, head, low, up, cost) and supplies; the reader numbers parallels."""
    nodes = {n for e in edges for n in e[:2]} | {n for n, _ in supplies}
    return ([f"p min {max(nodes, default=0)} {len(edges)}"] + [f"n {n} {s}" for n, s in supplies]
            + ["a {} {} {} {} {}".format(*e[:5]) for e in edges])


@pytest.fixture
def network(min_file):
    def make(edges, supplies=()):
        return pelmora.load_min_instance(min_file(min_lines(edges, supplies)))

    return make


def by_position(mapping):
    assert list(mapping) == list(range(len(mapping)))
    return list(mapping.values())


# ---- reference cases ------------------------------------------------------------------------


@pytest.mark.parametrize("case", GENERATE_CASES, ids=[c["name"] for c in GENERATE_CASES])
def test_reference_case(case, network):
    i = case["input"]
    instance = network(i["edges"], i["supplies"])
    assert [e.index for e in instance.edges] == [e[5] for e in i["edges"]]
    options = {name: i[name] for name in OPTIONS}
    if "error" in case:
        # An unknown method stops the call with PanicException (a BaseException, not an
        # Exception): the original stops there too, so no clean refusal replaces it.
        with pytest.raises(BaseException) as info:
            pelmora.generate_multi_commodity_data(instance, i["k"], i["method"], **options)
        assert not isinstance(info.value, Exception)
        assert type(info.value).__name__ == "PanicException"
        assert info.value.args == (case["error"],)
        return
    data = pelmora.generate_multi_commodity_data(instance, i["k"], i["method"], **options)
    assert [[n, v] for n, v in data.supply_partition.items()] == case["output"]["supply_partition"]
    assert by_position(data.weights_by_arc) == case["output"]["weights_by_arc"]
    assert by_position(data.capacities_by_arc) == case["output"]["capacities_by_arc"]


# ---- worked examples --------------------------------------------------------------------------

FOUR_ARCS = [(1, 2, 0, 10, 5), (2, 3, 0, 20, 3), (1, 3, 0, 7, 12), (3, 4, 0, 15, 1)]
SUPPLIES = [(1, 12), (3, -5), (4, -7)]


def generate(instance, k, method=1, **options):
    return pelmora.generate_multi_commodity_data(instance, k, method, **options)


def caps(data):
    return by_position(data.capacities_by_arc)


def test_exclusion_examples(network):
    # m = 4, K = 3, p = 0.5: n = 2, d = 2; commodity 0 loses 0 and 2, 1 loses 1 and 3, 2 loses 2 and 0.
    four = network(FOUR_ARCS, SUPPLIES)
    assert caps(generate(four, 3, cap_zero=True, cap_zero_param=0.5)) == [[0, 10, 0], [20, 0, 20], [0, 7, 0], [15, 0, 15]]
    # m = 1, K = 2: both commodities lose the arc; commodity 0 (0 mod 2) gets its own `up` back.
    one = network([(1, 2, 0, 10, 2)], [(1, 9), (2, -9)])
    assert caps(generate(one, 2, cap_zero=True, cap_zero_param=0.5)) == [[10, 0]]
    ten = network([(a, a + 1, 0, 10 + a, 1) for a in range(1, 11)])
    # m = 10, p = 0.9: n = 9, d = 2; commodity 0 visits 0, 2, 4, 6, 8 and again 0, 2, 4, 6.
    lists = caps(generate(ten, 2, cap_zero=True, cap_zero_param=0.9))
    assert [a for a in range(10) if lists[a][0] == 0] == [0, 2, 4, 6, 8]
    assert [a for a in range(10) if lists[a][1] == 0] == [1, 3, 5, 7, 9]
    # m = 10, p = 0.05: n rises from 0 to 1; commodity k loses only arc k mod 10.
    lists = caps(generate(ten, 3, cap_zero=True, cap_zero_param=0.05))
    assert [[a for a in range(10) if lists[a][k] == 0] for k in range(3)] == [[0], [1], [2]]
    # K = 1: every closed arc is restored at once, with its own `up` even when capacities were drawn.
    plain = caps(generate(ten, 1, randomize_caps=True, seed=3))
    closed = caps(generate(ten, 1, randomize_caps=True, seed=3, cap_zero=True, cap_zero_param=0.5))
    assert closed == [[10 + a + 1] if a % 2 == 0 else plain[a] for a in range(10)]


def test_exclusion_leaves_costs_and_flat_views(network):
    four = network(FOUR_ARCS, SUPPLIES)
    open_ = generate(four, 3, randomize_costs=True, seed=8)
    closed = generate(four, 3, randomize_costs=True, seed=8, cap_zero=True, cap_zero_param=0.5)
    for view in ["weights_by_arc", "weight", "commodity_weights", "capacities", "commodity_edges"]:
        assert getattr(closed, view) == getattr(open_, view)


@pytest.mark.parametrize("p", [0.0, -0.5, 1.0, 1.5, float("nan")])
def test_fractions_that_exclude_nothing(network, p):
    four = network(FOUR_ARCS, SUPPLIES)
    data = generate(four, 3, randomize_caps=True, cap_zero=True, cap_zero_param=p)
    assert caps(data) == caps(generate(four, 3, randomize_caps=True))
    assert data.cap_zero_param == p or (math.isnan(p) and math.isnan(data.cap_zero_param))


def test_draw_edge_cases(network):
    arcs = [(1, 2, 0, 10, 5), (2, 3, 0, 0, 0), (3, 1, 0, 6, -4)]
    instance = network(arcs, [(1, 2), (2, -2)])
    for seed in range(5):
        data = generate(instance, 4, randomize_caps=True, randomize_costs=True, seed=seed)
        ten, zero, negative = by_position(data.capacities_by_arc)
        assert set(ten) <= {8, 9, 10}  # [8.0, 10.0) rounded up
        assert zero == [1] * 4  # up = 0: empty range, no draw, raised to 1
        costs = by_position(data.weights_by_arc)
        assert costs[1] == [0] * 4  # cost 0 stays 0
        assert costs[2] == [1] * 4  # negative cost: hi < lo, no draw, floor 1
        assert set(costs[0]) <= {4, 5, 6}
    # cap_a == cap_b: no capacity draws, so the cost draws see the same stream as without caps.
    same = generate(instance, 3, randomize_caps=True, cap_a=1.5, cap_b=1.5, randomize_costs=True, seed=4)
    assert by_position(same.capacities_by_arc) == [[15] * 3, [1] * 3, [9] * 3]
    assert same.weights_by_arc == generate(instance, 3, randomize_costs=True, seed=4).weights_by_arc


def test_without_randomisation_seed_only_reaches_split(network):
    instance = network(FOUR_ARCS, SUPPLIES)
    a, b = generate(instance, 2, seed=1), generate(instance, 2, seed=99)
    assert caps(a) == [[10, 10], [20, 20], [7, 7], [15, 15]]
    assert by_position(a.weights_by_arc) == [[5, 5], [3, 3], [12, 12], [1, 1]]
    for view in ["weight", "capacities_by_arc", "commodity_capacities", "supply_partition"]:
        assert getattr(a, view) == getattr(b, view)
    assert (a.seed, b.seed) == (1, 99)


def test_cost_draws_do_not_depend_on_the_split(network):
    instance = network(FOUR_ARCS, SUPPLIES)
    views = {m: generate(instance, 3, m, randomize_caps=True, randomize_costs=True, seed=17) for m in (0, 1, 2)}
    for m in (1, 2):
        assert views[m].weights_by_arc == views[0].weights_by_arc
        assert views[m].capacities_by_arc == views[0].capacities_by_arc


def test_key_views(network):
    instance = network([(2, 1, 0, 3, 1), (1, 2, 0, 4, 2), (1, 2, 0, 5, 3)])
    data = generate(instance, 2)
    assert list(data.commodity_capacities) == [(1, 2, 0), (1, 2, 1), (2, 1, 0)]
    assert data.commodity_capacities == {(1, 2, 0): [4, 4], (1, 2, 1): [5, 5], (2, 1, 0): [3, 3]}
    assert data.commodity_weights == {(1, 2, 0): [2, 2], (1, 2, 1): [3, 3], (2, 1, 0): [1, 1]}
    assert data.commodity_edges == [(0, 2, 1, 0), (1, 2, 1, 0), (0, 1, 2, 0), (1, 1, 2, 0), (0, 1, 2, 1), (1, 1, 2, 1)]
    assert data.capacities == [3, 3, 4, 4, 5, 5]
    assert data.weight == [[1, 2, 3], [1, 2, 3]]
    assert data.arc_indices == {(1, 2): [1, 2], (2, 1): [0]} and data.parallel
    assert generate(instance, 2, cap_zero_param=0.3).cap_zero_param == 0.3


# ---- refusals and natural results -------------------------------------------------------------


def test_refusals(network):
    instance = network(FOUR_ARCS, SUPPLIES)
    not_finite = [
        ({"randomize_costs": True, "cost_a": float("nan")}, "cost_a"),
        ({"randomize_costs": True, "cost_b": float("inf")}, "cost_b"),
        ({"randomize_caps": True, "cap_a": float("-inf")}, "cap_a"),
    ]
    overflowing = [
        ({"randomize_caps": True, "cap_b": 1e308}, "cap_b"),  # 15 * 1e308 is not finite
        ({"randomize_costs": True, "cost_a": -1e308}, "cost_a"),
    ]
    for options, name in not_finite + overflowing:
        with pytest.raises(ValueError, match=name):
            generate(instance, 2, **options)
    # Both bounds finite, their difference not: the draw could not be made.
    with pytest.raises(ValueError, match="cost_a and cost_b are too far apart"):
        generate(network([(1, 2, 0, 9, 1)]), 2, randomize_costs=True, cost_a=-1e308, cost_b=1e308)
    for options, name in not_finite:  # a wrong argument even when there is nothing to draw
        with pytest.raises(ValueError, match=name):
            generate(network(FOUR_ARCS), 0, **options)
    # One message, with or without commodities to draw for.
    for k in (2, 0):
        with pytest.raises(ValueError, match=r"^cap_b must be a finite number when randomize_caps is true, got inf$"):
            generate(instance, k, randomize_caps=True, cap_b=float("inf"))
    for options, _ in overflowing:  # finite arguments: without commodities no bound is computed
        assert generate(network(FOUR_ARCS), 0, **options).weight == []
    # The multipliers of a randomisation that is off are never used.
    assert caps(generate(instance, 2, cap_a=float("nan"), cap_b=1e308)) == caps(generate(instance, 2))
    with pytest.raises(ValueError, match="num_commodities"):
        generate(instance, 0, 0)
    with pytest.raises(ValueError, match="concentration_param"):
        generate(instance, 3, 2, concentration_param=-1.0)
    with pytest.raises(ValueError, match="data"):
        generate(network(FOUR_ARCS, [(1, -(2**63))]), 2, 0)


def test_natural_results(network):
    no_supply = network(FOUR_ARCS)
    empty = generate(no_supply, 0, cap_zero=True, cap_zero_param=0.5)
    assert by_position(empty.capacities_by_arc) == [[]] * 4 and empty.weight == []
    assert empty.commodity_edges == [] and empty.capacities == []
    no_arcs = network([], SUPPLIES)
    data = generate(no_arcs, 2, cap_zero=True, cap_zero_param=0.5)
    assert data.capacities_by_arc == {} and data.weight == [[], []]


# ---- invariants of every view -----------------------------------------------------------------


@st.composite
def networks(draw):
    n = draw(st.integers(1, 6))
    arcs = draw(st.lists(st.tuples(st.integers(1, n), st.integers(1, n), st.just(0), st.integers(-3, 60),
                                   st.integers(-20, 60)), max_size=12))
    totals = draw(st.lists(st.integers(-40, 40), min_size=n, max_size=n))
    if draw(st.booleans()):
        totals[-1] -= sum(totals)
    return arcs, [(i + 1, t) for i, t in enumerate(totals)]


fractions = st.sampled_from([0.0, 0.1, 0.25, 0.34, 0.5, 0.9, 1.0, -0.5, float("nan")])


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(net=networks(), k=st.integers(0, 4), method=st.integers(0, 2), flags=st.tuples(st.booleans(), st.booleans(),
       st.booleans()), p=fractions, seed=st.integers(0, 2**64 - 1))
def test_view_invariants(network, net, k, method, flags, p, seed):
    arcs, supplies = net
    randomize_caps, randomize_costs, cap_zero = flags
    instance = network(arcs, supplies)
    # K = 0 is refused when there is something to split (see test_refusals).
    assume(k != 0 or not (supplies if method == 1 else any(t for _, t in supplies)))
    options = dict(randomize_caps=randomize_caps, randomize_costs=randomize_costs, cap_zero=cap_zero,
                   cap_zero_param=p, seed=seed)
    data = pelmora.generate_multi_commodity_data(instance, k, method, **options)
    edges = instance.edges
    m = len(edges)

    assert (data.method, data.num_commodities, data.seed) == (method, k, seed)
    assert (data.randomized_capacities, data.randomized_weights, data.cap_zero) == flags
    assert data.parallel == instance.parallel and data.arc_indices == instance.arc_indices

    # Flat per-(arc, commodity) views, arc-major.
    assert data.commodity_edges == [(c, e.tail, e.head, e.index) for e in edges for c in range(k)]
    assert data.capacities == [e.up for e in edges for _ in range(k)]
    costs, capacities = by_position(data.weights_by_arc), by_position(data.capacities_by_arc)
    assert len(costs) == len(capacities) == m
    assert all(len(row) == k for row in costs + capacities)
    assert data.weight == [[costs[a][c] for a in range(m)] for c in range(k)]
    keys = [(e.tail, e.head, e.index) for e in edges]
    assert data.commodity_weights == dict(sorted(zip(keys, costs)))
    assert data.commodity_capacities == dict(sorted(zip(keys, capacities)))
    assert list(data.commodity_capacities) == sorted(keys)

    # The partition is the split's, made from the same seed.
    totals = dict(supplies)
    split = [lambda: pelmora.split_supplies_spread(totals, k, seed), lambda: pelmora.split_supplies_uniform(totals, k),
             lambda: pelmora.split_supplies_beta_binomial(totals, k, 3.0, seed)][method]
    assert data.supply_partition == split()

    # Costs and capacities: the arc's own, or drawn inside the rounded-up bounds.
    for e, row in zip(edges, costs):
        if not randomize_costs:
            assert row == [e.cost] * k
        else:
            low = max(math.ceil(0.8 * e.cost), 1 if e.cost else 0)
            high = max(math.ceil(e.cost * 1.2), 1 if e.cost else 0)
            assert all(min(low, high) <= c <= max(low, high) for c in row)
    unexcluded = pelmora.generate_multi_commodity_data(instance, k, method, **{**options, "cap_zero": False})
    base = by_position(unexcluded.capacities_by_arc)
    for e, row in zip(edges, base):
        if not randomize_caps:
            assert row == [e.up] * k
        else:
            assert all(max(math.ceil(0.8 * e.up), 1) <= c <= max(math.ceil(e.up * 1.0), 1) for c in row)

    # Exclusion: the strided positions lose their commodity, an arc that lost all gets `up` back.
    expected = [list(row) for row in base]
    if cap_zero and 0 < p < 1 and m and k:
        n = max(1, math.floor(m * p))
        d = (m + n - 1) // n
        for c in range(k):
            for j in range(n):
                expected[(c % m + j * d) % m][c] = 0
        for a, row in enumerate(expected):
            if not any(row):
                row[a % k] = edges[a].up
        assert all(any(row) for e, row in zip(edges, capacities) if e.up != 0)
    assert capacities == expected

    # Every read builds new objects.
    first = data.weight
    first.append("x")
    assert data.weight is not first and data.weight == first[:-1]
    assert data.capacities_by_arc is not data.capacities_by_arc


# ---- the companion's table of split methods -------------------------------------------------
def test_method_table_names_the_module_splits(network):
    """Each row's number makes generate split as the module function of the row's name does."""
    from pelmora_tools import methods

    instance = network([(1, 2, 0, 9, 1), (2, 3, 0, 9, 1)], [(1, 17), (2, -5), (3, -12)])
    split = {"spread": lambda s, k, seed: pelmora.split_supplies_spread(s, k, seed),
             "uniform": lambda s, k, seed: pelmora.split_supplies_uniform(s, k),
             "beta-binomial": lambda s, k, seed: pelmora.split_supplies_beta_binomial(s, k, seed=seed)}
    assert methods.NAMES == tuple(split) and len({m.number for m in methods.METHODS}) == len(methods.METHODS)
    for method in methods.METHODS:
        for seed in (0, 7, 2**64 - 1):
            data = pelmora.generate_multi_commodity_data(instance, 3, method.number, seed=seed)
            assert data.method == method.number and methods.by_name(method.name) is method
            assert data.supply_partition == split[method.name](instance.supplies, 3, seed)
    assert methods.name_of(9) == "9"
    with pytest.raises(ValueError, match="unknown method 'even': one of spread, uniform, beta-binomial"):
        methods.by_name("even")
