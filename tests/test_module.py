"""The module's face: registration, function objects, and the rules every class follows."""

import copy
import pickle
import weakref

import pytest

import pelmora

NAMES = [
    "load_min_instance",
    "split_supplies_uniform",
    "split_supplies_spread",
    "split_supplies_beta_binomial",
    "compute_commodity_demand_heterogeneity",
    "generate_multi_commodity_data",
    "save_multi_commodity_instance",
    "load_multi_commodity_instance",
    "get_adjacency_mapping",
    "get_incidence_mapping",
    "Edge",
    "NetworkInstance",
    "MultiCommoditySupplies",
    "MultiCommodityData",
    "ParsedMulticommodityInstance",
]
CLASSES = NAMES[10:]


def test_registration():
    assert pelmora.__all__ == NAMES
    assert pelmora.__doc__ == ""
    own = {n for n in vars(pelmora) if not n.startswith("__")}
    assert own == set(NAMES)


def test_function_objects():
    for name in NAMES[:10]:
        fn = getattr(pelmora, name)
        assert fn.__name__ == name
        assert fn.__module__ == "pelmora"
        assert type(fn).__name__ == "builtin_function_or_method"
    assert pelmora.load_min_instance.__text_signature__ == "(path)"
    assert pelmora.split_supplies_beta_binomial.__text_signature__ == (
        "(data, num_commodities, concentration_param=3.0, seed=42)"
    )
    doc = pelmora.save_multi_commodity_instance.__doc__
    assert doc.startswith("Exports a multi-commodity instance to a DIMACS-formatted file.\n\n")
    assert doc.endswith("    multi_data (MultiCommodityData): The multi-commodity data.\n")
    assert pelmora.get_adjacency_mapping.__doc__.splitlines()[2] == "Args: "
    assert pelmora.split_supplies_uniform.__doc__.endswith("supplies/demands")
    assert "concentation_param (float, optional)" in pelmora.generate_multi_commodity_data.__doc__


@pytest.fixture(scope="module")
def objects(tmp_path_factory):
    """One object of every class that can be obtained."""
    path = tmp_path_factory.mktemp("objs") / "net.min"
    path.write_text("p min 3 2\nn 1 4\nn 3 -4\na 1 2 0 9 2\na 2 3 0 9 2\n")
    instance = pelmora.load_min_instance(str(path))
    data = pelmora.generate_multi_commodity_data(instance, 2, 1)
    out = path.with_suffix(".mcf")
    pelmora.save_multi_commodity_instance(str(out), instance, data)
    parsed = pelmora.load_multi_commodity_instance(str(out))
    return {
        "Edge": instance.edges[0],
        "NetworkInstance": instance,
        "MultiCommodityData": data,
        "ParsedMulticommodityInstance": parsed,
    }


@pytest.mark.parametrize("name", CLASSES)
def test_class_rules(name):
    cls = getattr(pelmora, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1
    for value in vars(cls).values():
        if isinstance(value, type(pelmora.Edge.tail)):
            assert value.__doc__ == ""
    assert "partition" in vars(pelmora.MultiCommoditySupplies)


@pytest.mark.parametrize("name", ["Edge", "NetworkInstance", "MultiCommodityData", "ParsedMulticommodityInstance"])
def test_instances_are_sealed(objects, name):
    obj = objects[name]
    assert not hasattr(obj, "__dict__")
    first = next(a for a, v in vars(type(obj)).items() if isinstance(v, type(pelmora.Edge.tail)))
    with pytest.raises(AttributeError):
        setattr(obj, first, 1)
    with pytest.raises(AttributeError):
        obj.new_attribute = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError):
        copy.copy(obj)
    with pytest.raises(TypeError):
        pickle.dumps(obj)
    # Identity semantics of object.
    assert obj == obj and obj != copy_free_twin(objects, name)
    assert hash(obj) == object.__hash__(obj)


def copy_free_twin(objects, name):
    """Another object of the same class built the same way: equal contents, different identity."""
    if name == "Edge":
        return objects["NetworkInstance"].edges[0]
    return object()


@pytest.mark.parametrize("name", ["NetworkInstance", "MultiCommodityData", "ParsedMulticommodityInstance"])
def test_reads_build_new_objects(objects, name):
    obj = objects[name]
    for attr, value in vars(type(obj)).items():
        if not isinstance(value, type(pelmora.Edge.tail)):
            continue
        first, second = getattr(obj, attr), getattr(obj, attr)
        if isinstance(first, (list, dict)):
            assert first is not second
            assert first == second or attr == "edges"
            first.clear()
            assert getattr(obj, attr) == second or attr == "edges"


def test_topology_methods(objects):
    net = objects["NetworkInstance"]
    assert net.topology() == [(1, 2), (2, 3)]
    with pytest.raises(TypeError):
        net.topology(1)
    assert pelmora.NetworkInstance.topology.__text_signature__ == "($self)"
    assert pelmora.NetworkInstance.topology.__doc__ == (
        "Returns the topology-only view `(tail, head)` for `get_adjacency_mapping`.\n"
        "Parallel arcs are preserved; the parallel index is dropped."
    )
    assert pelmora.ParsedMulticommodityInstance.topology.__doc__.startswith(
        "Returns the topology-only view `(tail, head)` for \u00b4get_adjacency_mapping`."
    )
    assert objects["ParsedMulticommodityInstance"].topology() == [(1, 2), (2, 3)]


def test_edge_outlives_its_instance(min_file):
    instance = pelmora.load_min_instance(min_file(["a 7 8 1 2 3"]))
    edge = instance.edges[0]
    del instance
    assert (edge.tail, edge.head, edge.low, edge.up, edge.cost, edge.index) == (7, 8, 1, 2, 3, 0)
