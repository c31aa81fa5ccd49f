"""Each module object owns its classes and PanicException: a second module object in the same
interpreter, an isolated sub-interpreter with its own GIL (the model of `concurrent.interpreters`)
and legacy ones that share the main GIL. Each gets its own class objects, gives the same results
as the main interpreter, and leaves the main interpreter's classes working once it is gone.
"""

import gc
import hashlib
import importlib.util
import json
import weakref
from pathlib import Path

import pytest

import pelmora

try:
    import _interpreters  # CPython's private module behind concurrent.interpreters
except ImportError:
    _interpreters = None
needs_interpreters = pytest.mark.skipif(_interpreters is None, reason="no _interpreters in this interpreter")

NETWORK = Path(__file__).parent / "data" / "glpk-sample.min"
CLASS_NAMES = ["Edge", "NetworkInstance", "MultiCommoditySupplies", "MultiCommodityData",
               "ParsedMulticommodityInstance"]


def test_a_second_module_object_owns_classes_that_die_with_it() -> None:
    spec = importlib.util.find_spec("pelmora")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    classes = [getattr(module, name) for name in CLASS_NAMES]
    assert not {id(c) for c in classes} & {id(getattr(pelmora, name)) for name in CLASS_NAMES}
    edge = module.load_min_instance(str(NETWORK)).edges[0]
    assert type(edge) is module.Edge and (edge.tail, edge.head) == (1, 2)
    try:
        module.generate_multi_commodity_data(module.load_min_instance(str(NETWORK)), 1, 9)
    except BaseException as error:  # PanicException
        panic = type(error)
    assert panic.__name__ == "PanicException"
    # The classes refer to their module and its state to them: only the collector frees the cycle,
    # once the last object of one of the classes is gone.
    alive = [weakref.ref(obj) for obj in [module, panic, *classes]]
    del module, panic, classes
    gc.collect()
    assert all(ref() is not None for ref in alive)
    del edge
    gc.collect()
    assert [ref() for ref in alive] == [None] * len(alive)


# The typical road, run as the same source text in every interpreter. It writes a report of what it
# saw: a digest of every attribute of every object, the saved file's digest, the ids of the classes
# it used, and what a refused argument and an unknown method raised.
ROAD = '''
import hashlib, json, types
import pelmora

CLASSES = (pelmora.Edge, pelmora.NetworkInstance, pelmora.MultiCommoditySupplies,
           pelmora.MultiCommodityData, pelmora.ParsedMulticommodityInstance)

def picture(value):
    if isinstance(value, CLASSES):
        return [type(value).__name__] + [
            (name, picture(getattr(value, name)))
            for name, attr in vars(type(value)).items() if isinstance(attr, types.GetSetDescriptorType)]
    if isinstance(value, dict):
        return [("dict",)] + [(picture(k), picture(v)) for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return [type(value).__name__] + [picture(v) for v in value]
    if isinstance(value, float):
        return value.hex()
    return value

def raised(call):
    try:
        call()
    except BaseException as error:
        cls = type(error)
        return [cls.__module__, cls.__qualname__, [b.__name__ for b in cls.__bases__], list(error.args), id(cls)]
    return None

instance = pelmora.load_min_instance(net_path)
data = pelmora.generate_multi_commodity_data(instance, 3, 2, randomize_caps=True, randomize_costs=True,
                                             cap_zero=True, cap_zero_param=0.2, seed=11)
pelmora.save_multi_commodity_instance(out_path, instance, data)
parsed = pelmora.load_multi_commodity_instance(out_path)
objects = [instance, data, parsed, instance.topology(), parsed.topology()]
with open(out_path, "rb") as saved:
    file_digest = hashlib.sha256(saved.read()).hexdigest()
with open(report_path, "w") as report:
    json.dump({
        "picture": hashlib.sha256(repr(picture(objects)).encode()).hexdigest(),
        "file": file_digest,
        "own_classes": [type(instance) is pelmora.NetworkInstance, type(instance.edges[0]) is pelmora.Edge,
                        type(data) is pelmora.MultiCommodityData,
                        type(parsed) is pelmora.ParsedMulticommodityInstance],
        "class_ids": [id(cls) for cls in CLASSES],
        "refused": raised(lambda: pelmora.generate_multi_commodity_data(data, 2, 1))[:4],
        "panic": raised(lambda: pelmora.generate_multi_commodity_data(instance, 2, 9)),
    }, report)
'''


def run_road(tmp_path: Path, tag: str, interpreter: int | None = None) -> dict:
    """Runs the road in the main interpreter (None) or in a sub-interpreter and returns its report."""
    shared = {"net_path": str(NETWORK), "out_path": str(tmp_path / f"{tag}.mcf"),
              "report_path": str(tmp_path / f"{tag}.json")}
    if interpreter is None:
        exec(ROAD, dict(shared))
    else:
        failure = _interpreters.exec(interpreter, ROAD, shared)
        assert failure is None, failure.formatted
    return json.loads((tmp_path / f"{tag}.json").read_text())


def expect_same_results(report: dict, main: dict) -> None:
    assert all(report["own_classes"])
    for key in ("picture", "file", "refused"):
        assert report[key] == main[key], key
    # PanicException of the interpreter's own: same face, its own class object.
    assert report["panic"][:4] == main["panic"][:4]
    assert report["panic"][4] not in main["class_ids"] + [main["panic"][4]]


@pytest.fixture
def main_report(tmp_path: Path) -> dict:
    report = run_road(tmp_path, "main")
    assert all(report["own_classes"])
    assert report["refused"] == ["builtins", "TypeError", ["Exception"], [
        "argument 'instance': 'MultiCommodityData' object is not an instance of 'NetworkInstance'"]]
    assert report["panic"][:4] == ["pyo3_runtime", "PanicException", ["BaseException"],
                                   ["Unknown partitioning method: 9"]]
    return report


def check_main_intact(tmp_path: Path, main: dict) -> None:
    gc.collect()
    again = run_road(tmp_path, "main-after")
    assert again == main
    assert [pelmora.Edge.__module__, pelmora.Edge.__qualname__] == ["builtins", "Edge"]


@needs_interpreters
def test_isolated_interpreter_with_its_own_gil(tmp_path: Path, main_report: dict) -> None:
    interpreter = _interpreters.create("isolated")
    try:
        assert _interpreters.new_config("isolated").gil == "own"
        report = run_road(tmp_path, "isolated", interpreter)
    finally:
        _interpreters.destroy(interpreter)
    expect_same_results(report, main_report)
    assert not set(report["class_ids"]) & set(main_report["class_ids"])
    check_main_intact(tmp_path, main_report)


@needs_interpreters
def test_two_legacy_interpreters_in_a_row(tmp_path: Path, main_report: dict) -> None:
    first = _interpreters.create("legacy")
    second = None
    try:
        one = run_road(tmp_path, "legacy-1", first)
        second = _interpreters.create("legacy")
        two = run_road(tmp_path, "legacy-2", second)
    finally:
        _interpreters.destroy(first)
        if second is not None:
            _interpreters.destroy(second)
    for report in (one, two):
        expect_same_results(report, main_report)
    # Both were alive together, so distinct class objects have distinct ids.
    ids = [main_report["class_ids"], one["class_ids"], two["class_ids"]]
    assert len(set().union(*ids)) == sum(len(i) for i in ids)
    assert one["panic"][4] != two["panic"][4]
    check_main_intact(tmp_path, main_report)


# The companion's native part in an isolated interpreter: it binds that interpreter's pelmora, so it
# takes the records of that interpreter's classes, whatever the module's names are bound to.
# Loaded straight from its file: the package's __init__ imports NumPy, which refuses such interpreters.
NATIVE_ROAD = '''
import hashlib, importlib.machinery, importlib.util, json
import pelmora

loader = importlib.machinery.ExtensionFileLoader("pelmora_tools._native", native_path)
spec = importlib.util.spec_from_file_location("pelmora_tools._native", native_path, loader=loader)
native = importlib.util.module_from_spec(spec)
loader.exec_module(native)
instance = pelmora.load_min_instance(net_path)
data = pelmora.generate_multi_commodity_data(instance, 3, 2, randomize_caps=True, seed=11)
pelmora.NetworkInstance = int
pelmora.MultiCommodityData = int
columns = native.arrays(instance, data)
try:
    native.arrays(0)
except TypeError as error:
    refused = str(error)
with open(report_path, "w") as report:
    json.dump({"k": columns[0], "refused": refused,
               "digest": hashlib.sha256(b"".join(bytes(memoryview(c)) for c in columns[1:])).hexdigest()}, report)
'''


@needs_interpreters
def test_the_native_companion_in_an_isolated_interpreter(tmp_path: Path) -> None:
    from pelmora_tools import _native

    instance = pelmora.load_min_instance(str(NETWORK))
    data = pelmora.generate_multi_commodity_data(instance, 3, 2, randomize_caps=True, seed=11)
    columns = _native.arrays(instance, data)
    interpreter = _interpreters.create("isolated")
    try:
        failure = _interpreters.exec(interpreter, NATIVE_ROAD, {
            "native_path": _native.__file__, "net_path": str(NETWORK), "report_path": str(tmp_path / "r.json")})
        assert failure is None, failure.formatted
    finally:
        _interpreters.destroy(interpreter)
    report = json.loads((tmp_path / "r.json").read_text())
    assert report == {
        "k": 3, "refused": "argument 'instance': 'int' object is not an instance of 'NetworkInstance'",
        "digest": hashlib.sha256(b"".join(bytes(memoryview(c)) for c in columns[1:])).hexdigest()}
    assert _native.arrays(instance, data)[0] == 3  # the main interpreter's binding is untouched
