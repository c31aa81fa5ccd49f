"""The type stub pelmora.pyi describes the module that is built: names, parameters, defaults, and
the types of real values (every function's result and every attribute of every class).

`make test-wheel` checks the built wheel and sdist themselves (tests/wheel_smoke.py).
"""

import ast
import builtins
import inspect
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

import pelmora

ROOT = Path(__file__).resolve().parent.parent
STUB = ast.parse((ROOT / "pelmora.pyi").read_text())
STUB_FUNCTIONS = {n.name: n for n in STUB.body if isinstance(n, ast.FunctionDef)}
STUB_CLASSES = {n.name: n for n in STUB.body if isinstance(n, ast.ClassDef)}


def members(cls: ast.ClassDef) -> tuple[dict[str, ast.expr], dict[str, ast.FunctionDef]]:
    """(property name -> return annotation, method name -> definition) of a stub class."""
    properties: dict[str, ast.expr] = {}
    methods: dict[str, ast.FunctionDef] = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            if any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list):
                assert node.returns is not None, f"{cls.name}.{node.name} has no return annotation"
                properties[node.name] = node.returns
            else:
                methods[node.name] = node
    return properties, methods


def conforms(value: Any, annotation: ast.expr) -> bool:
    """Whether `value` has the type that the stub annotation (a list/dict/tuple/union expression) names."""
    match annotation:
        case ast.Constant(value=None):
            return value is None
        case ast.Name(id=name) if name in ("int", "float", "bool", "str"):
            return type(value) is {"int": int, "float": float, "bool": bool, "str": str}[name]
        case ast.Name(id=name):
            return type(value) is getattr(pelmora, name)
        case ast.BinOp(op=ast.BitOr(), left=left, right=right):
            return conforms(value, left) or conforms(value, right)
        case ast.Subscript(value=ast.Name(id="list"), slice=item):
            return type(value) is list and all(conforms(x, item) for x in value)
        case ast.Subscript(value=ast.Name(id="dict"), slice=ast.Tuple(elts=[key, item])):
            return type(value) is dict and all(conforms(k, key) and conforms(v, item) for k, v in value.items())
        case ast.Subscript(value=ast.Name(id="tuple"), slice=ast.Tuple(elts=[item, ast.Constant(value=builtins.Ellipsis)])):
            return type(value) is tuple and all(conforms(x, item) for x in value)
        case ast.Subscript(value=ast.Name(id="tuple"), slice=ast.Tuple(elts=items)):
            return type(value) is tuple and len(value) == len(items) and all(map(conforms, value, items))
    raise AssertionError(f"the checker does not know the annotation {ast.unparse(annotation)}")


@pytest.fixture(scope="module")
def samples(tmp_path_factory) -> dict[str, Any]:
    """One object of every class that a function returns, from a network with parallel arcs."""
    tmp = tmp_path_factory.mktemp("stub")
    network = tmp / "net.min"
    network.write_text("p min 4 5\nn 1 7\nn 4 -7\na 1 2 0 8 3\na 1 3 0 6 2\na 2 4 0 8 1\na 3 4 0 6 4\na 2 4 0 5 2\n")
    instance = pelmora.load_min_instance(str(network))
    data = pelmora.generate_multi_commodity_data(
        instance, 3, 2, randomize_caps=True, randomize_costs=True, cap_zero=True, cap_zero_param=0.4, seed=5
    )
    pelmora.save_multi_commodity_instance(str(tmp / "net.mcf"), instance, data)
    return {
        "dir": tmp,
        "NetworkInstance": instance,
        "Edge": instance.edges[4],
        "MultiCommodityData": data,
        "ParsedMulticommodityInstance": pelmora.load_multi_commodity_instance(str(tmp / "net.mcf")),
    }


def calls(s: dict[str, Any]) -> dict[str, tuple[Callable[..., Any], dict[str, Any]]]:
    """A real call of every function, by keyword."""
    instance, data = s["NetworkInstance"], s["MultiCommodityData"]
    supplies = {4: -7, 1: 7, 2: 0}
    return {
        "load_min_instance": (pelmora.load_min_instance, {"path": str(s["dir"] / "net.min")}),
        "split_supplies_uniform": (pelmora.split_supplies_uniform, {"data": supplies, "num_commodities": 3}),
        "split_supplies_spread": (pelmora.split_supplies_spread, {"data": supplies, "num_commodities": 3, "seed": 1}),
        "split_supplies_beta_binomial": (
            pelmora.split_supplies_beta_binomial,
            {"data": supplies, "num_commodities": 3, "concentration_param": 0.5, "seed": 2},
        ),
        "compute_commodity_demand_heterogeneity": (
            pelmora.compute_commodity_demand_heterogeneity,
            {"partition": {1: (3, 4, 0), 4: (-3, -4, 0)}, "original": {1: 7, 4: -7}},
        ),
        "generate_multi_commodity_data": (
            pelmora.generate_multi_commodity_data,
            {"instance": instance, "num_commodities": 2, "method": 0, "randomize_costs": True, "cost_a": 1.0,
             "concentration_param": 2.5, "seed": 3},
        ),
        "save_multi_commodity_instance": (
            pelmora.save_multi_commodity_instance,
            {"path": str(s["dir"] / "again.mcf"), "instance": instance, "multi_data": data},
        ),
        "load_multi_commodity_instance": (pelmora.load_multi_commodity_instance, {"path": str(s["dir"] / "net.mcf")}),
        "get_adjacency_mapping": (
            pelmora.get_adjacency_mapping, {"nodes": tuple(instance.nodes), "edges": instance.topology()}
        ),
        "get_incidence_mapping": (pelmora.get_incidence_mapping, {"nodes": instance.nodes, "edges": instance.arcs}),
    }


class TestNames:
    def test_stub_declares_every_exported_name(self):
        assert sorted([*STUB_FUNCTIONS, *STUB_CLASSES]) == sorted(pelmora.__all__)
        declared = [n for n in STUB.body if isinstance(n, ast.AnnAssign | ast.Assign)]
        assert [ast.unparse(n.target if isinstance(n, ast.AnnAssign) else n.targets[0]) for n in declared] == [
            "__all__"
        ]
        if declared[0].value is not None:  # a stub that lists __all__ must list it in the module's order
            assert ast.literal_eval(declared[0].value) == pelmora.__all__

    @pytest.mark.parametrize("name", sorted(STUB_FUNCTIONS))
    def test_parameters_and_defaults(self, name):
        node = STUB_FUNCTIONS[name]
        positional = node.args.args
        defaults = [None] * (len(positional) - len(node.args.defaults)) + node.args.defaults
        stub = [(a.arg, None if d is None else ast.literal_eval(d)) for a, d in zip(positional, defaults, strict=True)]
        runtime = [
            (p.name, None if p.default is inspect.Parameter.empty else p.default)
            for p in inspect.signature(getattr(pelmora, name)).parameters.values()
        ]
        assert stub == runtime
        assert not (node.args.kwonlyargs or node.args.posonlyargs or node.args.vararg or node.args.kwarg)
        assert all(a.annotation is not None for a in positional) and node.returns is not None

    @pytest.mark.parametrize("name", sorted(STUB_CLASSES))
    def test_class_members(self, name):
        node = STUB_CLASSES[name]
        properties, methods = members(node)
        runtime = vars(getattr(pelmora, name))
        assert sorted(properties) == sorted(a for a, v in runtime.items() if inspect.isdatadescriptor(v)
                                            and not a.startswith("__"))
        assert sorted(methods) == sorted(a for a, v in runtime.items() if inspect.ismethoddescriptor(v)
                                         and not a.startswith("__"))
        # The classes cannot be subclassed, which the stub says with @final.
        assert [ast.unparse(d) for d in node.decorator_list] == ["final"]


class TestValues:
    @pytest.mark.parametrize("name", sorted(STUB_FUNCTIONS))
    def test_function_results(self, name, samples):
        function, kwargs = calls(samples)[name]
        node = STUB_FUNCTIONS[name]
        annotations = {a.arg: a.annotation for a in node.args.args}
        for parameter, argument in kwargs.items():
            assert conforms(argument, annotations[parameter]), f"sample argument {parameter} breaks the stub"
        result = function(**kwargs)
        assert node.returns is not None and conforms(result, node.returns), (name, result)

    @pytest.mark.parametrize("name", sorted(set(STUB_CLASSES) - {"MultiCommoditySupplies"}))
    def test_attribute_values(self, name, samples):
        # MultiCommoditySupplies is left out: no function returns one.
        obj = samples[name]
        properties, methods = members(STUB_CLASSES[name])
        for attribute, annotation in properties.items():
            value = getattr(obj, attribute)
            assert conforms(value, annotation), f"{name}.{attribute} = {value!r} is not {ast.unparse(annotation)}"
        for method, node in methods.items():
            assert node.returns is not None and conforms(getattr(obj, method)(), node.returns)

    def test_checker_refuses_wrong_types(self):
        # The checker itself: wrong element types, lengths and bools in place of ints are caught.
        parse = lambda text: ast.parse(text, mode="eval").body  # noqa: E731
        assert conforms({1: [2, 3]}, parse("dict[int, list[int]]"))
        assert not conforms({1: [2, True]}, parse("dict[int, list[int]]"))
        assert not conforms((1, 2), parse("tuple[int, int, int]"))
        assert conforms((1, 2, 3), parse("tuple[int, ...]")) and not conforms([1], parse("tuple[int, ...]"))
        assert conforms(None, parse("None")) and not conforms(0, parse("None"))
        assert conforms((1,), parse("list[int] | tuple[int, ...]")) and not conforms(1.0, parse("int | bool"))
