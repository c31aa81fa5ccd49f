"""How every module function binds and converts its arguments and maps failures."""

import collections
import inspect
import pathlib
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

import pelmora

# The ten functions, in registration order (tests/test_module.py checks __all__ itself).
FUNCTIONS = pelmora.__all__[:10]


def python_twin(name):
    """A pure-Python function with the same text signature, to compare binding messages with."""
    fn = getattr(pelmora, name)
    namespace = {}
    exec(f"def {name}{fn.__text_signature__}: return None", namespace)
    return namespace[name]


class Poison:
    """A value no conversion accepts."""


def binding_error(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as exc:
        # The interpreter appends a spelling suggestion to unexpected keywords since 3.13; the
        # module's message ends at the quoted keyword.
        return re.sub(r"\. Did you mean '\w+'\?$", "", str(exc))
    return None


@pytest.mark.parametrize("name", FUNCTIONS)
@given(data=st.data())
def test_binding_messages_match_python(name, data):
    fn = getattr(pelmora, name)
    twin = python_twin(name)
    params = list(inspect.signature(twin).parameters)
    npos = data.draw(st.integers(0, len(params) + 2), label="positional")
    kw_names = data.draw(
        st.lists(st.sampled_from(params + ["bogus", "Path"]), unique=True, max_size=len(params) + 1),
        label="keywords",
    )
    args = [Poison()] * npos
    kwargs = {k: Poison() for k in kw_names}
    expected = binding_error(twin, args, kwargs)
    actual = binding_error(fn, args, kwargs)
    if expected is not None:
        assert actual == expected
    else:
        # Binding succeeded; the poison then fails the first conversion, naming its parameter.
        assert actual is not None and actual.startswith("argument '")


def test_binding_examples():
    with pytest.raises(TypeError, match=r"^get_adjacency_mapping\(\) got an unexpected keyword argument 'x'$"):
        pelmora.get_adjacency_mapping([], [], x=1)
    with pytest.raises(TypeError, match=re.escape("load_min_instance() missing 1 required positional argument: 'path'")):
        pelmora.load_min_instance()
    with pytest.raises(TypeError, match=re.escape("missing 3 required positional arguments: 'instance', 'num_commodities', and 'method'")):
        pelmora.generate_multi_commodity_data()


class TestConversions:
    def test_text(self, tmp_path):
        for bad, reason in [
            (b"x.min", "'bytes' object is not an instance of 'str'"),
            (pathlib.Path("x.min"), "'PosixPath' object is not an instance of 'str'"),
            (None, "'None' is not an instance of 'str'"),
        ]:
            with pytest.raises(TypeError) as info:
                pelmora.load_min_instance(bad)
            assert str(info.value) == f"argument 'path': {reason}"
        with pytest.raises(UnicodeEncodeError):
            pelmora.load_min_instance("\udc80.min")

    def test_integers(self):
        with pytest.raises(OverflowError) as info:
            pelmora.split_supplies_spread({1: 5}, -1, 0)
        assert "num_commodities" not in str(info.value)
        with pytest.raises(OverflowError):
            pelmora.split_supplies_uniform({2**63: 1}, 1)
        with pytest.raises(OverflowError):
            pelmora.split_supplies_spread({}, 1, 2**64)
        with pytest.raises(TypeError, match=r"^argument 'num_commodities': 'float' object cannot be interpreted as an integer$"):
            pelmora.split_supplies_uniform({}, 1.0)
        with pytest.raises(TypeError, match=r"^argument 'seed': "):
            pelmora.split_supplies_spread({}, 1, None)
        # __index__ objects and bools are integers.
        class Three:
            def __index__(self):
                return 3

        assert pelmora.split_supplies_uniform({1: 6}, Three()) == {1: [2, 2, 2]}
        assert pelmora.split_supplies_uniform({1: 6}, True) == {1: [6]}
        assert pelmora.split_supplies_spread({}, 1, 2**64 - 1) == {}

    def test_floats(self):
        assert pelmora.split_supplies_beta_binomial({1: 5}, 1, 2) == {1: [5]}
        with pytest.raises(TypeError, match=r"^argument 'concentration_param': must be real number, not str$"):
            pelmora.split_supplies_beta_binomial({1: 5}, 1, "3")
        with pytest.raises(OverflowError):
            pelmora.split_supplies_beta_binomial({1: 5}, 1, 10**400)

    def test_booleans(self, min_file):
        instance = pelmora.load_min_instance(min_file(["p min 2 1", "n 1 1", "n 2 -1", "a 1 2 0 5 3"]))
        with pytest.raises(TypeError) as info:
            pelmora.generate_multi_commodity_data(instance, 2, 0, randomize_caps=1)
        assert str(info.value) == "argument 'randomize_caps': 'int' object is not an instance of 'bool'"
        with pytest.raises(TypeError, match=r"^argument 'seed': 'None' is not|^argument 'seed': 'NoneType' object cannot"):
            pelmora.generate_multi_commodity_data(instance, 2, 0, seed=None)

    def test_numpy_scalars(self, min_file):
        np = pytest.importorskip("numpy")
        instance = pelmora.load_min_instance(min_file(["p min 2 1", "n 1 4", "n 2 -4", "a 1 2 0 5 3"]))
        data = pelmora.generate_multi_commodity_data(
            instance, np.uint64(2), np.int64(1), randomize_caps=np.bool_(True), cap_a=np.float64(0.5), seed=np.int32(7)
        )
        assert data.num_commodities == 2 and data.randomized_capacities is True and data.seed == 7
        assert pelmora.split_supplies_uniform({np.int64(1): np.int16(4)}, np.uint8(2)) == {1: [2, 2]}

    def test_sequences(self):
        with pytest.raises(TypeError, match=r"^argument 'nodes': Can't extract `str` to `Vec`$"):
            pelmora.get_incidence_mapping("12", [])
        for bad, name in [({1: 2}, "dict"), ({1}, "set"), ((i for i in range(2)), "generator")]:
            with pytest.raises(TypeError) as info:
                pelmora.get_adjacency_mapping(bad, [])
            assert str(info.value) == f"argument 'nodes': '{name}' object is not an instance of 'Sequence'"
        assert pelmora.get_adjacency_mapping(range(3), ()) == ({0: [], 1: [], 2: []}, {0: [], 1: [], 2: []})
        with pytest.raises(TypeError, match=r"^argument 'nodes': 'str' object cannot be interpreted as an integer$"):
            pelmora.get_adjacency_mapping([1, "2"], [])

    def test_tuples(self):
        with pytest.raises(TypeError) as info:
            pelmora.get_adjacency_mapping([1, 2], [[1, 2]])
        assert str(info.value) == "argument 'edges': 'list' object is not an instance of 'tuple'"
        with pytest.raises(TypeError) as info:
            pelmora.get_adjacency_mapping([1, 2], [(1, 2, 0)])
        assert str(info.value) == "argument 'edges': expected tuple of length 2, but got tuple of length 3"
        with pytest.raises(TypeError) as info:
            pelmora.get_incidence_mapping([1, 2], [(1, 2)])
        assert str(info.value) == "argument 'edges': expected tuple of length 3, but got tuple of length 2"

        class Pair(tuple):
            pass

        assert pelmora.get_adjacency_mapping([], [Pair((1, 2))]) == ({2: [1]}, {1: [2]})

    def test_dicts(self):
        with pytest.raises(TypeError) as info:
            pelmora.split_supplies_uniform([(1, 2)], 2)
        assert str(info.value) == "argument 'data': 'list' object is not an instance of 'dict'"
        result = pelmora.split_supplies_uniform({2: 4, 1: 2}, 2)
        assert list(result) == [1, 2]

        class Key:
            """Distinct dict keys that convert to the same integer."""

            def __init__(self, value):
                self.value = value

            def __index__(self):
                return self.value

        # The entry met later in the dict's own order wins.
        assert pelmora.split_supplies_uniform({Key(1): 2, 5: 0, Key(1): 4}, 1) == {1: [4], 5: [0]}
        with pytest.raises(TypeError, match=r"^argument 'partition': Can't extract `str` to `Vec`$"):
            pelmora.compute_commodity_demand_heterogeneity({1: "ab"}, {})

    def test_class_instances(self, min_file):
        instance = pelmora.load_min_instance(min_file(["p min 1 0"]))
        for bad, reason in [
            (None, "'None' is not an instance of 'NetworkInstance'"),
            (instance.edges, "'list' object is not an instance of 'NetworkInstance'"),
        ]:
            with pytest.raises(TypeError) as info:
                pelmora.generate_multi_commodity_data(bad, 1, 1)
            assert str(info.value) == f"argument 'instance': {reason}"
        with pytest.raises(TypeError, match=r"^argument 'multi_data': 'NetworkInstance' object is not an instance of 'MultiCommodityData'$"):
            pelmora.save_multi_commodity_instance("x", instance, instance)

    def test_argument_error_keeps_cause(self):
        class Bad:
            def __index__(self):
                raise TypeError("nope") from KeyError("root")

        with pytest.raises(TypeError) as info:
            pelmora.split_supplies_uniform({}, Bad())
        assert str(info.value) == "argument 'num_commodities': nope"
        assert isinstance(info.value.__cause__, KeyError)

    def test_other_exceptions_pass_unchanged(self):
        class Boom:
            def __index__(self):
                raise ZeroDivisionError("inner")

        with pytest.raises(ZeroDivisionError, match="^inner$"):
            pelmora.split_supplies_uniform({}, Boom())

    def test_first_failing_argument_wins(self):
        with pytest.raises(TypeError, match=r"^argument 'data':"):
            pelmora.split_supplies_spread(None, None, None)
        with pytest.raises(TypeError, match=r"^argument 'seed':"):
            pelmora.split_supplies_spread({}, 1, "x")


class Int(int):
    """An int subclass: converted through the general path rather than read in place."""


@given(supplies=st.dictionaries(st.integers(-2**63, 2**63 - 1), st.integers(-10**6, 10**6), max_size=30),
       wrap=st.lists(st.sampled_from(["key", "value", "none"]), min_size=30, max_size=30),
       out_of_range=st.booleans())
def test_dict_inputs_read_in_place_or_not_give_equal_splits(supplies, wrap, out_of_range):
    mixed = {Int(k) if how == "key" else k: Int(v) if how == "value" else v
             for (k, v), how in zip(supplies.items(), wrap)}
    for data in (mixed, collections.OrderedDict(supplies)):
        assert pelmora.split_supplies_spread(data, 3, 11) == pelmora.split_supplies_spread(supplies, 3, 11)
    if out_of_range:
        # An entry out of range after plain ones fails as it does alone.
        with pytest.raises(OverflowError):
            pelmora.split_supplies_uniform({**supplies, 1: 2**63}, 2)


class TestExceptionMapping:
    def test_os_error_is_plain(self, tmp_path):
        missing = str(tmp_path / "missing.min")
        with pytest.raises(OSError) as info:
            pelmora.load_min_instance(missing)
        exc = info.value
        assert type(exc) is OSError
        assert exc.args == ("No such file or directory (os error 2)",)
        assert exc.errno is None and exc.strerror is None and exc.filename is None
        with pytest.raises(RuntimeError, match=r"^No such file or directory \(os error 2\)$"):
            pelmora.load_multi_commodity_instance(missing)

    def test_panic_exception(self, min_file):
        instance = pelmora.load_min_instance(min_file(["p min 1 0"]))
        with pytest.raises(BaseException) as info:
            try:
                pelmora.generate_multi_commodity_data(instance, 1, 3)
            except Exception:  # must not catch it
                pytest.fail("PanicException was caught by `except Exception`")
        exc = info.value
        assert exc.args == ("Unknown partitioning method: 3",)
        cls = type(exc)
        assert cls.__module__ == "pyo3_runtime" and cls.__name__ == "PanicException"
        assert cls.__bases__ == (BaseException,)
        with pytest.raises(cls, match="^Unknown partitioning method: -1$"):
            pelmora.generate_multi_commodity_data(instance, 1, -1)
