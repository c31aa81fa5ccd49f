"""NumPy values at the module's boundary.

NumPy integer scalars have `__index__`, so they are accepted wherever the module takes an int, with
the same range checks as Python ints; NumPy booleans are accepted where it takes a bool (and nothing
else numeric is); NumPy floats and integers are accepted where it takes a float. Results are always
plain Python objects.
"""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import pelmora

SIGNED = [np.int8, np.int16, np.int32, np.int64, np.intp]
UNSIGNED = [np.uint8, np.uint16, np.uint32, np.uint64, np.uintp]
INTEGER_TYPES = SIGNED + UNSIGNED
FLOAT_TYPES = [np.float16, np.float32, np.float64, np.longdouble]


def fits(value: int, kind: type) -> bool:
    info = np.iinfo(kind)
    return info.min <= value <= info.max


def as_numpy(value: int, draw_kind: st.DataObject) -> object:
    """`value` as a NumPy scalar of some integer type wide enough for it (a Python int if none is)."""
    kinds = [kind for kind in INTEGER_TYPES if fits(value, kind)]
    return draw_kind.draw(st.sampled_from(kinds))(value) if kinds else value


def plain(obj: object) -> bool:
    """True when `obj` is built only of Python's own ints, floats, bools, lists, tuples and dicts."""
    if type(obj) in (int, float, bool):
        return True
    if type(obj) in (list, tuple):
        return all(plain(x) for x in obj)
    if type(obj) is dict:
        return all(plain(k) and plain(v) for k, v in obj.items())
    return False


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    path = tmp_path_factory.mktemp("np") / "tiny.min"
    path.write_text("p min 4 5\nn 1 7\nn 4 -7\na 1 2 0 8 3\na 1 3 0 6 2\na 2 4 0 8 1\na 3 4 0 6 4\na 2 4 0 5 2\n")
    return pelmora.load_min_instance(str(path))


class TestIntegers:
    @given(
        supplies=st.dictionaries(st.integers(-(2**63), 2**63 - 1), st.integers(-10_000, 10_000), max_size=10),
        k=st.integers(1, 9),
        seed=st.integers(0, 2**64 - 1),
        kinds=st.data(),
    )
    def test_splits_take_numpy_keys_values_counts_and_seeds(self, supplies, k, seed, kinds):
        converted = {as_numpy(v, kinds): as_numpy(b, kinds) for v, b in supplies.items()}
        nk, nseed = as_numpy(k, kinds), as_numpy(seed, kinds)
        assert pelmora.split_supplies_uniform(converted, nk) == pelmora.split_supplies_uniform(supplies, k)
        spread = pelmora.split_supplies_spread(converted, nk, nseed)
        assert spread == pelmora.split_supplies_spread(supplies, k, seed)
        beta = pelmora.split_supplies_beta_binomial(converted, nk, seed=nseed)
        assert beta == pelmora.split_supplies_beta_binomial(supplies, k, seed=seed)
        assert plain(spread) and plain(beta)

    @given(
        partition=st.dictionaries(st.integers(-100, 100), st.lists(st.integers(-1000, 1000), max_size=5), max_size=8),
        original=st.dictionaries(st.integers(-100, 100), st.integers(-1000, 1000), max_size=8),
        kinds=st.data(),
    )
    def test_heterogeneity_takes_numpy_amounts(self, partition, original, kinds):
        converted = {as_numpy(v, kinds): [as_numpy(d, kinds) for d in ds] for v, ds in partition.items()}
        as_tuples = {v: tuple(ds) for v, ds in converted.items()}
        original_np = {as_numpy(v, kinds): as_numpy(b, kinds) for v, b in original.items()}
        expected = pelmora.compute_commodity_demand_heterogeneity(partition, original)
        assert pelmora.compute_commodity_demand_heterogeneity(converted, original_np) == expected
        assert pelmora.compute_commodity_demand_heterogeneity(as_tuples, original_np) == expected

    @given(
        nodes=st.lists(st.integers(-(2**63), 2**63 - 1), max_size=8),
        arcs=st.lists(st.tuples(st.integers(-5, 5), st.integers(-5, 5), st.integers(0, 3)), max_size=10),
        kinds=st.data(),
    )
    def test_mappings_take_numpy_nodes_and_arc_ends(self, nodes, arcs, kinds):
        nodes_np = [as_numpy(v, kinds) for v in nodes]
        pairs = [(t, h) for t, h, _ in arcs]
        pairs_np = [(as_numpy(t, kinds), as_numpy(h, kinds)) for t, h in pairs]
        triples_np = [tuple(as_numpy(x, kinds) for x in arc) for arc in arcs]
        adjacency = pelmora.get_adjacency_mapping(nodes_np, pairs_np)
        assert adjacency == pelmora.get_adjacency_mapping(nodes, pairs) and plain(adjacency)
        incidence = pelmora.get_incidence_mapping(tuple(nodes_np), triples_np)
        assert incidence == pelmora.get_incidence_mapping(nodes, arcs) and plain(incidence)

    def test_arrays_are_sequences_of_integers(self):
        # An array passes the sequence check and its items have __index__; its rows are not tuples.
        nodes = np.array([3, 1, 2], dtype=np.int64)
        assert pelmora.get_adjacency_mapping(nodes, [(1, 2)]) == pelmora.get_adjacency_mapping([3, 1, 2], [(1, 2)])
        assert pelmora.split_supplies_uniform({1: 6}, np.uint8(3)) == {1: [2, 2, 2]}
        assert pelmora.compute_commodity_demand_heterogeneity({1: np.array([6, 0, 0])}, {1: 6}) == 1.0
        with pytest.raises(TypeError, match=r"^argument 'edges': .*'tuple'"):
            pelmora.get_adjacency_mapping(nodes, np.array([[1, 2]]))

    def test_generation_takes_numpy_counts_methods_and_seeds(self, tiny):
        reference = pelmora.generate_multi_commodity_data(tiny, 3, 0, randomize_costs=True, seed=11)
        for kind in INTEGER_TYPES:
            data = pelmora.generate_multi_commodity_data(tiny, kind(3), kind(0), randomize_costs=True, seed=kind(11))
            assert data.num_commodities == 3 and type(data.num_commodities) is int
            assert (data.supply_partition, data.weight) == (reference.supply_partition, reference.weight)
            assert data.seed == 11 and type(data.seed) is int

    def test_ranges_are_checked_like_python_ints(self, tiny):
        # Unsigned parameters: 0 .. 2**64 - 1; signed: -2**63 .. 2**63 - 1; the same errors as for ints.
        top = np.uint64(2**64 - 1)
        assert pelmora.split_supplies_spread({1: 5, 2: -5}, np.uint8(3), top) == pelmora.split_supplies_spread(
            {1: 5, 2: -5}, 3, 2**64 - 1
        )
        for bad in (np.int8(-1), np.int64(-(2**63))):
            with pytest.raises(OverflowError) as numpy_error:
                pelmora.split_supplies_spread({1: 5}, bad, 0)
            with pytest.raises(OverflowError) as int_error:
                pelmora.split_supplies_spread({1: 5}, int(bad), 0)
            assert str(numpy_error.value) == str(int_error.value)
        with pytest.raises(OverflowError):
            pelmora.split_supplies_beta_binomial({1: 5}, 2, seed=np.int16(-3))
        with pytest.raises(OverflowError):
            pelmora.generate_multi_commodity_data(tiny, 2, np.uint64(2**63))
        with pytest.raises(OverflowError):
            pelmora.split_supplies_uniform({np.uint64(2**63): 1}, 1)
        with pytest.raises(OverflowError):
            pelmora.get_adjacency_mapping([np.uint64(2**64 - 1)], [])
        assert pelmora.get_adjacency_mapping([np.int64(-(2**63))], []) == ({-(2**63): []}, {-(2**63): []})

    def test_numpy_floats_are_not_integers(self):
        with pytest.raises(TypeError, match=r"^argument 'num_commodities': "):
            pelmora.split_supplies_uniform({1: 4}, np.float64(2.0))
        with pytest.raises(TypeError, match=r"^argument 'nodes': "):
            pelmora.get_adjacency_mapping([np.float32(1.0)], [])


class TestBooleans:
    FLAGS = ("randomize_caps", "randomize_costs", "cap_zero")
    ATTRIBUTE = {
        "randomize_caps": "randomized_capacities",
        "randomize_costs": "randomized_weights",
        "cap_zero": "cap_zero",
    }

    @pytest.mark.parametrize("flag", FLAGS)
    @pytest.mark.parametrize("value", [True, False])
    def test_numpy_bools_count_as_bools(self, tiny, flag, value):
        options = {"cap_zero_param": 0.5, "seed": 3}
        data = pelmora.generate_multi_commodity_data(tiny, 2, 2, **options, **{flag: np.bool_(value)})
        reference = pelmora.generate_multi_commodity_data(tiny, 2, 2, **options, **{flag: value})
        assert (data.randomized_capacities, data.randomized_weights, data.cap_zero) == (
            reference.randomized_capacities, reference.randomized_weights, reference.cap_zero
        )
        assert getattr(data, self.ATTRIBUTE[flag]) is value
        assert (data.capacities_by_arc, data.weights_by_arc) == (reference.capacities_by_arc, reference.weights_by_arc)

    def test_numpy_bool_from_a_comparison(self, tiny):
        # The everyday source of numpy bools: a comparison of array values.
        wanted = np.array([0.5, 2.0]) > 1.0
        data = pelmora.generate_multi_commodity_data(tiny, 2, 1, randomize_caps=wanted[1], randomize_costs=wanted[0])
        assert data.randomized_capacities is True and data.randomized_weights is False

    @pytest.mark.parametrize("flag", FLAGS)
    def test_other_numpy_scalars_are_not_bools(self, tiny, flag):
        for bad in (np.int64(1), np.uint8(0), np.float64(1.0), np.array([True])):
            with pytest.raises(TypeError, match=rf"^argument '{flag}': "):
                pelmora.generate_multi_commodity_data(tiny, 2, 1, **{flag: bad})


class TestFloats:
    @pytest.mark.parametrize("kind", FLOAT_TYPES + INTEGER_TYPES)
    def test_numpy_numbers_where_floats_are_taken(self, tiny, kind):
        value = kind(2) if kind in INTEGER_TYPES else kind(0.5)
        as_float = float(value)
        data = pelmora.generate_multi_commodity_data(
            tiny, 3, 2, randomize_caps=True, cap_a=value, cap_b=value, concentration_param=value,
            cap_zero=True, cap_zero_param=value, seed=1,
        )
        reference = pelmora.generate_multi_commodity_data(
            tiny, 3, 2, randomize_caps=True, cap_a=as_float, cap_b=as_float, concentration_param=as_float,
            cap_zero=True, cap_zero_param=as_float, seed=1,
        )
        assert data.cap_zero_param == as_float and type(data.cap_zero_param) is float
        assert data.supply_partition == reference.supply_partition
        assert data.capacities_by_arc == reference.capacities_by_arc
        split = pelmora.split_supplies_beta_binomial({1: 9, 2: -9}, 3, value, 4)
        assert split == pelmora.split_supplies_beta_binomial({1: 9, 2: -9}, 3, as_float, 4)
