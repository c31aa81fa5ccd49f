"""Adjacency and incidence mappings, against a plain Python model."""

from hypothesis import given
from hypothesis import strategies as st

import pelmora

ids = st.integers(-(2**63), 2**63 - 1) | st.integers(-5, 5)


def model(nodes, edges, item_in, item_out):
    incoming, outgoing = {}, {}
    for v in nodes:
        incoming.setdefault(v, [])
        outgoing.setdefault(v, [])
    for e in edges:
        incoming.setdefault(e[1], []).append(item_in(e))
        outgoing.setdefault(e[0], []).append(item_out(e))
    return dict(sorted(incoming.items())), dict(sorted(outgoing.items()))


def test_examples():
    assert pelmora.get_adjacency_mapping([], []) == ({}, {})
    incoming, outgoing = pelmora.get_adjacency_mapping([1, 2, 3], [(1, 2), (1, 3), (3, 2)])
    assert incoming == {1: [], 2: [1, 3], 3: [1]}
    assert outgoing == {1: [2, 3], 2: [], 3: [2]}
    assert pelmora.get_adjacency_mapping([1], [(1, 9)]) == ({1: [], 9: [1]}, {1: [9]})
    assert pelmora.get_adjacency_mapping([5], [(5, 5)]) == ({5: [5]}, {5: [5]})
    assert pelmora.get_adjacency_mapping([1, 2], [(1, 2), (1, 2)]) == ({1: [], 2: [1, 1]}, {1: [2, 2], 2: []})
    inc = pelmora.get_incidence_mapping([1, 2], [(1, 2, 0), (1, 2, 1)])
    assert inc == ({1: [], 2: [(1, 2, 0), (1, 2, 1)]}, {1: [(1, 2, 0), (1, 2, 1)], 2: []})


@given(st.lists(ids, max_size=12), st.lists(st.tuples(ids, ids), max_size=20))
def test_adjacency_matches_model(nodes, edges):
    result = pelmora.get_adjacency_mapping(nodes, edges)
    expected = model(nodes, edges, lambda e: e[0], lambda e: e[1])
    assert result == expected
    for got, want in zip(result, expected):
        assert list(got) == list(want)  # ascending key order


@given(st.lists(ids, max_size=12), st.lists(st.tuples(ids, ids, ids), max_size=20))
def test_incidence_matches_model(nodes, edges):
    result = pelmora.get_incidence_mapping(tuple(nodes), edges)
    expected = model(nodes, edges, tuple, tuple)
    assert result == expected
    assert [list(d) for d in result] == [list(d) for d in expected]


def test_results_are_fresh_objects():
    edges = [(1, 2, 0)]
    incoming, outgoing = pelmora.get_incidence_mapping([1], edges)
    assert incoming[2][0] == edges[0] and incoming[2][0] is not edges[0]
    assert incoming[2][0] is not outgoing[1][0]
