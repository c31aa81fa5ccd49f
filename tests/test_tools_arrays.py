"""Arrays of a data set, checked against the module's own keyed views and against its file."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import pelmora
import pelmora_tools as pt

DATA = Path(__file__).parent / "data"
FIELDS = ["node_ids", "tails", "heads", "low", "up", "costs", "capacities", "supplies"]


def assert_same(a: pt.DataSetArrays, b: pt.DataSetArrays) -> None:
    for name in FIELDS:
        assert np.array_equal(getattr(a, name), getattr(b, name)), name
        assert getattr(a, name).dtype == np.int64


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
    assert (arrays.num_nodes, arrays.num_arcs, arrays.num_commodities) == (len(instance.nodes), instance.num_arcs, k)
    assert arrays.node_ids.tolist() == sorted(instance.nodes)
    caps, weights = data.commodity_capacities, data.commodity_weights
    for a, (edge, key) in enumerate(zip(instance.edges, instance.arcs)):
        assert (arrays.tails[a], arrays.heads[a], arrays.low[a], arrays.up[a]) == (edge.tail, edge.head, edge.low, edge.up)
        assert arrays.capacities[a].tolist() == caps[key] and arrays.costs[a].tolist() == weights[key]
    partition = data.supply_partition
    for node, row in zip(arrays.node_ids.tolist(), arrays.supplies.tolist()):
        assert row == partition.get(node, [0] * k)
    path = tmp_path / "set.mcf"
    pelmora.save_multi_commodity_instance(str(path), instance, data)
    assert_same(pt.arrays_from_file(path), arrays)
    assert_same(pt.load_arrays(path), arrays)


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
