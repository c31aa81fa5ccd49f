"""Fault injection on the arguments of every function: counts and views too large for memory,
sequences whose claimed length is a lie, and any argument values Hypothesis can build give a result
or one of the documented exceptions."""


import pytest
from fault_support import DATA, UNDER_ASAN, no_descriptor_left, sample_network
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelmora

# ------------------------------------------------------------------------------------------------
# Argument values of every kind


@pytest.mark.parametrize("k", [2**40, 2**62, 2**63 - 1, 2**64 - 1])
def test_counts_too_large_for_memory(k):
    # Nothing to split gives an empty partition whatever K is; anything to split needs K values
    # per node, which no machine holds: MemoryError, never a crash or an internal stop.
    assert pelmora.split_supplies_uniform({}, k) == {}
    assert pelmora.split_supplies_spread({}, k, 1) == {}
    assert pelmora.split_supplies_spread({7: 0}, k, 1) == {}
    assert pelmora.split_supplies_beta_binomial({7: 0, 8: 0}, k) == {}
    if UNDER_ASAN:
        return
    instance = pelmora.load_min_instance(str(DATA / "glpk-sample.min"))
    for call in (lambda: pelmora.split_supplies_uniform({7: 0}, k),
                 lambda: pelmora.split_supplies_spread({7: 5, 8: -5}, k, 1),
                 lambda: pelmora.split_supplies_beta_binomial({7: 5}, k, 2.0),
                 lambda: pelmora.generate_multi_commodity_data(instance, k, 1)):
        with pytest.raises(MemoryError):
            call()


@pytest.mark.parametrize("k", [2**62, 2**63, 2**64 - 1])
def test_views_too_large_for_memory(k, min_file):
    # Without arcs or supplies the data set holds nothing per commodity, but a view with a list per
    # commodity would need k of them.
    data = pelmora.generate_multi_commodity_data(pelmora.load_min_instance(min_file(["p min 2 0"])), k, 1)
    assert (data.num_commodities, data.capacities, data.weights_by_arc, data.supply_partition) == (k, [], {}, {})
    with pytest.raises(MemoryError):
        _ = data.weight


class ClaimedLength:
    """A sequence of `items` whose len() claims `claimed`."""

    def __init__(self, items, claimed):
        self.items, self.claimed = items, claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("claimed", [0, 10**12, 2**62, 2**63 - 1])
def test_sequence_lengths_are_claims(claimed):
    # Conversion reads items until IndexError; a false length neither shortens the list nor makes
    # room for items that never come (2**62 of them raised PanicException, 10**12 MemoryError).
    nodes, pairs, triples = [3, 1, 2], [(1, 2), (2, 3)], [(1, 2, 0), (2, 3, 0)]
    assert pelmora.get_adjacency_mapping(ClaimedLength(nodes, claimed), ClaimedLength(pairs, claimed)) == \
        pelmora.get_adjacency_mapping(nodes, pairs)
    assert pelmora.get_incidence_mapping(ClaimedLength(nodes, claimed), ClaimedLength(triples, claimed)) == \
        pelmora.get_incidence_mapping(nodes, triples)


def test_sequences_too_long_for_memory():
    # A range's length is true, and no vector holds 2**62 of them: MemoryError, as list() raises.
    with pytest.raises(MemoryError):
        pelmora.get_adjacency_mapping(range(2**62), [])
    with pytest.raises(MemoryError):
        pelmora.get_incidence_mapping([1], range(2**62))


SMALL = st.integers(-50, 50)
# Supplies stay moderate: balancing moves single units, so its time grows with the imbalance.
AMOUNT = st.integers(-10**6, 10**6) | st.sampled_from([2**63, -2**63 - 1, 2**64])
COUNT = st.integers(-2, 40) | st.sampled_from([-1, 2**64] if UNDER_ASAN else [2**40, 2**63 - 1, 2**64 - 1, 2**64])
ODD = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=4) | st.binary(max_size=4),
    lambda inner: st.lists(inner, max_size=3) | st.tuples(inner, inner) | st.tuples(inner, inner, inner)
    | st.dictionaries(SMALL, inner, max_size=3) | st.frozensets(SMALL, max_size=3),
    max_leaves=6)
FLOAT = st.floats() | st.integers(-3, 3)

PARAMETERS = {
    "path": st.text(st.characters(blacklist_characters="/"), max_size=6),
    "data": st.dictionaries(SMALL, AMOUNT, max_size=6),
    "original": st.dictionaries(SMALL, AMOUNT, max_size=6),
    "partition": st.dictionaries(SMALL, st.lists(AMOUNT, max_size=5), max_size=5),
    "num_commodities": COUNT, "seed": st.integers(0, 2**64 - 1) | st.integers(),
    "method": st.integers(-3, 5), "concentration_param": FLOAT,
    "cap_a": FLOAT, "cap_b": FLOAT, "cost_a": FLOAT, "cost_b": FLOAT, "cap_zero_param": FLOAT,
    "randomize_caps": st.booleans(), "randomize_costs": st.booleans(), "cap_zero": st.booleans(),
    "nodes": st.lists(SMALL, max_size=8),
    "edges": st.lists(st.tuples(SMALL, SMALL), max_size=8) | st.lists(st.tuples(SMALL, SMALL, SMALL), max_size=8),
}
DOCUMENTED = (TypeError, OverflowError, ValueError, MemoryError, UnicodeEncodeError, OSError, RuntimeError)


@pytest.fixture(scope="module")
def shared_objects(tmp_path_factory):
    instance, data = sample_network()
    written = tmp_path_factory.mktemp("shared") / "net.mcf"
    pelmora.save_multi_commodity_instance(str(written), instance, data)
    parsed = pelmora.load_multi_commodity_instance(str(written))
    return {"instance": st.just(instance), "multi_data": st.just(data),
            "junk": st.sampled_from([instance, data, parsed, instance.edges[0]])}


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture], max_examples=300, deadline=None)
@given(draw=st.data())
@pytest.mark.parametrize("name", [n for n in pelmora.__all__ if n[0].islower()])
def test_any_arguments_give_a_result_or_a_documented_exception(name, shared_objects, tmp_path, monkeypatch, draw):
    # Every parameter gets a plausible value most of the time and anything at all otherwise; the
    # call gives a result, a documented exception, or the documented stop for an unknown method.
    monkeypatch.chdir(tmp_path)  # a random path names a file in here
    fn = getattr(pelmora, name)
    params = fn.__text_signature__.strip("()").split(", ")
    count = draw.draw(st.integers(0, len(params) + 1))
    args = []
    for param in (p.split("=")[0] for p in params[:count]):
        plausible = shared_objects[param] if param in shared_objects else PARAMETERS[param]
        args.append(draw.draw(plausible | ODD | shared_objects["junk"] if draw.draw(st.booleans()) else plausible))
    if count > len(params):
        args.append(draw.draw(ODD))
    with no_descriptor_left():
        try:
            fn(*args)
        except DOCUMENTED:
            pass
        except BaseException as error:
            assert type(error).__name__ == "PanicException", repr(error)
            assert name == "generate_multi_commodity_data" and args[2] not in (0, 1, 2), repr(error)
            assert error.args == (f"Unknown partitioning method: {args[2]}",)
