"""Arrays of a data set, checked against the module's own keyed views and against its file."""

from __future__ import annotations

import gc
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelmora
import pelmora_tools as pt

DATA = Path(__file__).parent / "data"
FIELDS = ["node_ids", "tails", "heads", "low", "up", "costs", "capacities", "supplies"]


def assert_same(a: pt.DataSetArrays, b: pt.DataSetArrays) -> None:
    for name in FIELDS:
        assert np.array_equal(getattr(a, name), getattr(b, name)), name
        assert getattr(a, name).dtype == np.int64


def assert_matches_the_views(instance: pelmora.NetworkInstance, data: pelmora.MultiCommodityData,
                             arrays: pt.DataSetArrays) -> None:
    """The arrays against the module's keyed views, read attribute by attribute."""
    k = data.num_commodities
    assert (arrays.num_nodes, arrays.num_arcs, arrays.num_commodities) == (len(instance.nodes), instance.num_arcs, k)
    assert arrays.node_ids.tolist() == sorted(instance.nodes)
    caps, weights = data.commodity_capacities, data.commodity_weights
    for a, (edge, key) in enumerate(zip(instance.edges, instance.arcs)):
        assert (arrays.tails[a], arrays.heads[a], arrays.low[a], arrays.up[a]) == (edge.tail, edge.head, edge.low, edge.up)
        assert arrays.capacities[a].tolist() == caps[key] and arrays.costs[a].tolist() == weights[key]
    partition = data.supply_partition
    for node, row in zip(arrays.node_ids.tolist(), arrays.supplies.tolist()):
        assert row == partition.get(node, [0] * k)


@pytest.mark.parametrize(
    "name, k, method, options",
    [
        ("glpk-sample.min", 3, 1, {"cap_zero": True, "cap_zero_param": 0.3}),
        ("own-net-parallel-300n-9000a.min", 4, 2, {"randomize_caps": True, "randomize_costs": True}),
        ("own-grid-40x40.min", 2, 0, {"randomize_costs": True}),
    ],
)
def test_arrays_match_the_keyed_views_and_the_saved_file(tmp_path: Path, name: str, k: int, method: int, options: dict) -> None:
    instance = pelmora.load_min_instance(str(DATA / name))
    data = pelmora.generate_multi_commodity_data(instance, k, method, seed=9, **options)
    arrays = pt.arrays_from_data(instance, data)
    assert_matches_the_views(instance, data, arrays)
    path = tmp_path / "set.mcf"
    pelmora.save_multi_commodity_instance(str(path), instance, data)
    assert_same(pt.arrays_from_file(path), arrays)
    assert_same(pt.load_arrays(path), arrays)


@st.composite
def networks(draw: st.DrawFn) -> str:
    """A small ".min" text: parallel arcs, loops, lower bounds, negative costs and ids, isolated supply nodes."""
    ids = draw(st.lists(st.integers(-5, 40), min_size=2, max_size=9, unique=True))
    arc = st.tuples(st.sampled_from(ids), st.sampled_from(ids), st.integers(0, 3), st.integers(0, 60), st.integers(-9, 30))
    arcs = draw(st.lists(arc, min_size=1, max_size=20))
    amounts = draw(st.lists(st.integers(1, 15), min_size=1, max_size=min(3, len(ids) - 1)))
    nodes = draw(st.permutations(ids))
    lines = [f"n {nodes[i]} {a}" for i, a in enumerate(amounts)] + [f"n {nodes[-1]} {-sum(amounts)}"]
    lines += [f"a {t} {h} {lo} {max(lo, up)} {c}" for t, h, lo, up, c in arcs]
    return "\n".join([f"p min {len(ids)} {len(arcs)}", *lines]) + "\n"


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    text=networks(), k=st.integers(1, 4), method=st.integers(0, 2), caps=st.booleans(), costs=st.booleans(),
    closed=st.sampled_from([0.0, 0.4]), seed=st.integers(0, 2**32),
)
def test_any_generated_data_set_matches_its_views_and_its_file(
    tmp_path: Path, text: str, k: int, method: int, caps: bool, costs: bool, closed: float, seed: int
) -> None:
    (tmp_path / "net.min").write_text(text)
    instance = pelmora.load_min_instance(str(tmp_path / "net.min"))
    data = pelmora.generate_multi_commodity_data(
        instance, k, method, randomize_caps=caps, randomize_costs=costs, cap_zero=closed > 0, cap_zero_param=closed,
        seed=seed,
    )  # fmt: skip
    arrays = pt.arrays_from_data(instance, data)
    assert_matches_the_views(instance, data, arrays)
    pelmora.save_multi_commodity_instance(str(tmp_path / "set.mcf"), instance, data)
    from_file = pt.arrays_from_file(tmp_path / "set.mcf")
    assert_same(from_file, arrays)
    single = pt.arrays_from_min(instance)
    assert single.costs[:, 0].tolist() == [e.cost for e in instance.edges] and np.array_equal(single.capacities[:, 0], arrays.up)
    assert single.supplies[:, 0].tolist() == [instance.supplies.get(node, 0) for node in arrays.node_ids.tolist()]


def test_arrays_own_their_memory_and_take_only_the_module_records(tmp_path: Path) -> None:
    instance = pelmora.load_min_instance(str(DATA / "glpk-sample.min"))
    data = pelmora.generate_multi_commodity_data(instance, 2, 0, randomize_costs=True, seed=3)
    arrays = pt.arrays_from_data(instance, data)
    costs = [list(row) for row in zip(*data.weight)]
    del data
    gc.collect()
    assert arrays.costs.tolist() == costs and arrays.costs.flags.writeable
    arrays.costs[0, 0] += 1  # the caller's to change; a second call starts afresh
    with pytest.raises(TypeError, match=r"^argument 'data': 'NetworkInstance' object is not an instance of 'MultiCommodityData'$"):
        pt.arrays_from_data(instance, instance)  # type: ignore[arg-type]
    other = pelmora.load_min_instance(str(DATA / "own-grid-40x40.min"))
    with pytest.raises(ValueError, match="does not fit the network"):
        pt.arrays_from_data(other, pelmora.generate_multi_commodity_data(instance, 2, 0))


@pytest.mark.parametrize(
    "text",
    [
        "p min 2 1 1 0 0 0 0 0 0\na 1 2 0 9 4\n",  # cost missing
        "a 1 2 0 9 4 6\n",  # arc line before the problem line
        "p min 2 1 two 0 0 0 0 0 0\n",
        "p min 2 1 1 0 0 0 0 0 0\na 1 2 0 9 4 6x\n",
    ],
)
def test_a_broken_file_fails_as_the_module_reader_fails(tmp_path: Path, text: str) -> None:
    path = tmp_path / "bad.mcf"
    path.write_text(text)
    with pytest.raises(RuntimeError) as module_error:
        pelmora.load_multi_commodity_instance(str(path))
    with pytest.raises(RuntimeError) as ours:
        pt.arrays_from_file(path)
    assert str(ours.value) == str(module_error.value)


def test_a_lower_bound_must_be_an_integer_for_the_arrays(tmp_path: Path) -> None:
    path = tmp_path / "low.mcf"
    path.write_text("p min 2 2 1 0 0 0 0 0 0\na 1 2 0 9 4 6\na 1 2 x 9 4 6\n")
    pelmora.load_multi_commodity_instance(str(path))  # the module's record does not hold it
    with pytest.raises(RuntimeError) as ours:
        pt.arrays_from_file(path)
    path.write_text("p min 2 2 1 0 0 0 0 0 0\na 1 2 0 9 4 6\na 1 2 0 x 4 6\n")
    with pytest.raises(RuntimeError) as module_error:  # the same token in a field the module parses
        pelmora.load_multi_commodity_instance(str(path))
    assert str(ours.value) == str(module_error.value)
    with pytest.raises(RuntimeError, match=r"^No such file or directory \(os error 2\)$"):
        pt.arrays_from_file(tmp_path / "missing.mcf")  # as load_multi_commodity_instance says it


def test_a_hand_written_file_keeps_its_lower_bounds(tmp_path: Path) -> None:
    path = tmp_path / "hand.mcf"
    path.write_bytes(
        b"c by hand\r\n"
        b"p min 3 3 2 0 1 1 0 0 9\r\n"
        b"\r\n"
        b"n 1 6 2 4\r\n"
        b"n 3 -6 -2\r\n"
        b"a 1 2 +003 10 10\t5 6\r\n"
        b"c between arcs\n"
        b"  a 2 3 0 10 10 1 1  \n"
        b"a 3 3 -2 4 4 7 8\n"
    )
    arrays = pt.arrays_from_file(path)
    assert arrays.low.tolist() == [3, 0, -2]
    assert arrays.costs.tolist() == [[5, 6], [1, 1], [7, 8]]
    assert arrays.supplies.tolist() == [[2, 4], [0, 0], [-2, 0]]


def test_a_min_file_is_one_commodity(tmp_path: Path) -> None:
    instance = pelmora.load_min_instance(str(DATA / "glpk-sample.min"))
    arrays = pt.load_arrays(DATA / "glpk-sample.min")
    assert arrays.num_commodities == 1
    assert arrays.costs[:, 0].tolist() == instance.weights and arrays.capacities[:, 0].tolist() == instance.capacities
    assert arrays.low.tolist() == [e.low for e in instance.edges]
    assert dict(zip(arrays.node_ids.tolist(), arrays.supplies[:, 0].tolist())) == {
        node: instance.supplies.get(node, 0) for node in instance.nodes
    }
