"""compute_commodity_demand_heterogeneity: the worked examples, the rules that pick K and the active
nodes, and its range on the partitions the splits make."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import pelmora

H = pelmora.compute_commodity_demand_heterogeneity


def test_worked_examples():
    assert H({1: [2, 2, 2]}, {1: 6}) == 0.0
    assert H({1: [6, 0, 0]}, {1: 6}) == 1.0
    assert H({1: [3, 3, 0]}, {1: 6}) == 0.5
    assert H({1: [-4, 0], 2: [2, 2]}, {1: -4, 2: 4}) == 0.5


def test_empty_and_degenerate():
    assert H({}, {1: 5}) == 0.0
    assert H({1: [5, 0]}, {}) == 0.0
    assert H({1: [], 2: []}, {1: 5, 2: 3}) == 0.0
    # K comes from the first non-empty list in node order: one element means 0, whatever follows.
    assert H({1: [], 2: [7], 3: [9, 0, 0]}, {2: 7, 3: 9}) == 0.0
    # No active node: zero totals and nodes missing from the partition are left out.
    assert H({1: [3, 0]}, {1: 0, 2: 4}) == 0.0


def test_active_nodes():
    # Only node 1 is active: node 2 has total 0, node 3 is not in the partition, node 9 is not in
    # `original`.
    assert H({1: [4, 0], 2: [1, -1], 9: [1, 1]}, {1: 4, 2: 0, 3: 5}) == 1.0
    # An empty list still counts as an active node, adding 0.
    assert H({1: [4, 0], 2: []}, {1: 4, 2: 8}) == 0.5
    # K = 3 from node 1; node 2 is scored over its two amounts with u = 1/3:
    # f = 3/4, t = |1 - 1/3| + |0 - 1/3| = 1, so node 2 adds 0.75; node 1 adds 0.
    assert H({1: [1, 1, 1], 2: [2, 0]}, {1: 3, 2: 2}) == 0.375


def test_shares_use_magnitudes():
    assert H({1: [-3, -3]}, {1: -6}) == H({1: [3, 3]}, {1: 6}) == 0.0
    assert H({1: [-(2**63), 0]}, {1: -(2**63)}) == 1.0


@given(
    method=st.sampled_from(["uniform", "spread", "beta_binomial"]),
    data=st.dictionaries(st.integers(-1000, 1000), st.integers(-10**6, 10**6), max_size=10),
    k=st.integers(1, 6),
    seed=st.integers(0, 2**64 - 1),
)
def test_range_on_split_partitions(method, data, k, seed):
    partition = {
        "uniform": lambda: pelmora.split_supplies_uniform(data, k),
        "spread": lambda: pelmora.split_supplies_spread(data, k, seed),
        "beta_binomial": lambda: pelmora.split_supplies_beta_binomial(data, k, 3.0, seed),
    }[method]()
    score = H(partition, data)
    assert 0.0 <= score <= 1.0 + 1e-12
    if k == 1:
        assert score == 0.0
    # Putting every node's total on one commodity is the most uneven partition there is.
    if any(data.values()) and k > 1:
        lumped = {n: [t] + [0] * (k - 1) for n, t in data.items()}
        assert H(lumped, data) == pytest.approx(1.0, abs=1e-12)
