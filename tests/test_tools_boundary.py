"""The companion's native boundary: the records reached through pelmora's record interface (never
through its rebindable attributes), every array checked for shape and dtype before any work, and
read_arrays bounded by what the file holds."""

from __future__ import annotations

import ctypes
import importlib.machinery
import importlib.util
import json
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelmora
import pelmora_tools as pt
from pelmora_tools import _native

DATA = Path(__file__).parent / "data"
NATIVE_PATH = _native.__file__
CAPI = "__pelmora_capi__"
UNDER_ASAN = "libasan" in Path("/proc/self/maps").read_text()


def fresh_native() -> Any:
    """A new module object of _native: its exec step binds the pelmora module importable now."""
    loader = importlib.machinery.ExtensionFileLoader("pelmora_tools._native", NATIVE_PATH)
    spec = importlib.util.spec_from_file_location("pelmora_tools._native", NATIVE_PATH, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def columns_bytes(columns: tuple) -> list:
    return [columns[0], *(bytes(memoryview(c)) for c in columns[1:])]


@pytest.fixture(scope="module")
def records() -> tuple[pelmora.NetworkInstance, pelmora.MultiCommodityData]:
    instance = pelmora.load_min_instance(str(DATA / "glpk-sample.min"))
    return instance, pelmora.generate_multi_commodity_data(instance, 3, 1, randomize_costs=True, seed=5)


# --- the record interface ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, value",
    [("NetworkInstance", int), ("MultiCommodityData", int), ("NetworkInstance", pelmora.MultiCommodityData),
     ("MultiCommodityData", pelmora.NetworkInstance), ("NetworkInstance", None)],
)
def test_rebinding_the_module_names_changes_nothing(monkeypatch: pytest.MonkeyPatch, records: tuple,
                                                    name: str, value: object) -> None:
    instance, data = records
    before = columns_bytes(_native.arrays(instance, data))
    monkeypatch.setattr(pelmora, name, value)
    assert columns_bytes(_native.arrays(instance, data)) == before
    assert columns_bytes(fresh_native().arrays(instance, data)) == before  # bound at import, rebinding or not
    for call in (lambda: _native.arrays(0), lambda: _native.arrays(data), lambda: _native.arrays(instance, instance)):
        with pytest.raises(TypeError, match=r"^argument '(instance|data)': '\w+' object is not an instance of"):
            call()


def test_a_second_pelmora_module_object_has_classes_the_first_native_refuses(records: tuple) -> None:
    spec = importlib.util.find_spec("pelmora")
    assert spec is not None and spec.loader is not None
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    foreign = other.load_min_instance(str(DATA / "glpk-sample.min"))
    with pytest.raises(TypeError, match="'NetworkInstance' object is not an instance of 'NetworkInstance'"):
        _native.arrays(foreign)
    assert getattr(other, CAPI) is not getattr(pelmora, CAPI)
    assert CAPI not in pelmora.__all__


def capsule(name: bytes, header: list[int]) -> tuple[object, ctypes.Array, ctypes.Array]:
    """A capsule named `name` over a table whose leading uint32 fields are `header` (version,
    record layout, record sizes...), as a module built otherwise would hand out. The capsule keeps
    pointers to the name and the table: both are returned, to be kept alive beside it."""
    table, text = (ctypes.c_uint32 * 16)(*header), ctypes.create_string_buffer(name)
    new = ctypes.pythonapi.PyCapsule_New
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    return new(ctypes.addressof(table), ctypes.addressof(text), None), table, text


def real_header() -> list[int]:
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    address = get(getattr(pelmora, CAPI), f"pelmora.{CAPI}".encode())
    return list((ctypes.c_uint32 * 7).from_address(address))


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda h: None, "has no record interface"),
        (lambda h: 7, "has no record interface"),
        (lambda h: capsule(b"numpy.core._ARRAY_API", h), "has no record interface"),
        (lambda h: capsule(f"pelmora.{CAPI}".encode(), [h[0] + 1, *h[1:]]), r"the pelmora module has interface \d+"),
        (lambda h: capsule(f"pelmora.{CAPI}".encode(), [h[0], h[1] + 1, *h[2:]]), r"layout \d+;"),
        (lambda h: capsule(f"pelmora.{CAPI}".encode(), [*h[:3], h[3] + 8, *h[4:]]), r"\(record sizes differ\)"),
    ],
)
def test_an_interface_of_another_build_is_refused_at_import(monkeypatch: pytest.MonkeyPatch, make: Any,
                                                            message: str) -> None:
    header = real_header()
    fake = type(sys)("pelmora")
    made = make(header)
    if made is not None:
        setattr(fake, CAPI, made[0] if isinstance(made, tuple) else made)
    monkeypatch.setitem(sys.modules, "pelmora", fake)
    with pytest.raises(ImportError, match=message) as error:
        fresh_native()
    assert "\n" not in str(error.value) and "from one build" in str(error.value)


# --- shapes and dtypes at the boundary ----------------------------------------------------------------

I64 = np.int64


def columns(n: int = 2, m: int = 2, k: int = 2) -> dict[str, Any]:
    """write_mnetgen's arguments for n nodes 1..n and m arcs 1 -> 2."""
    return {"num_commodities": k, "node_ids": np.arange(1, n + 1, dtype=I64), "tails": np.ones(m, I64),
            "heads": np.full(m, 2, I64), "up": np.ones(m, I64), "costs": np.ones(m * k, I64),
            "capacities": np.ones(m * k, I64), "supplies": np.zeros(n * k, I64)}


@pytest.mark.parametrize(
    "change, message",
    [
        # m x K and n x K wrap to 0 in unchecked 64-bit arithmetic: the empty lists would "fit".
        ({**columns(4, 4), "num_commodities": 2**62, "costs": np.zeros(0, I64), "capacities": np.zeros(0, I64),
          "supplies": np.zeros(0, I64)}, "^num_commodities 4611686018427387904 with 4 node ids and 4 arcs makes more"),
        ({"num_commodities": 2**62, "tails": np.zeros(0, I64), "heads": np.zeros(0, I64), "up": np.zeros(0, I64),
          "costs": np.zeros(0, I64), "capacities": np.zeros(0, I64), "supplies": np.zeros(0, I64)}, "makes more"),
        ({"num_commodities": 2**63, "node_ids": np.zeros(0, I64), "tails": np.zeros(0, I64),
          "heads": np.zeros(0, I64), "up": np.zeros(0, I64), "costs": np.zeros(0, I64),
          "capacities": np.zeros(0, I64), "supplies": np.zeros(0, I64)},
         "^num_commodities 9223372036854775808 is beyond the signed 64-bit numbers of the files$"),
        ({"heads": np.ones(3, I64)}, r"^heads holds 3 values, expected 2 \(one per arc, as tails\)$"),
        ({"up": np.ones(1, I64)}, "^up holds 1 values, expected 2"),
        ({"costs": np.ones(3, I64)}, r"^costs holds 3 values, expected 4 \(K per arc\)$"),
        ({"capacities": np.ones((2, 3), I64)}, "^capacities holds 6 values, expected 4"),
        ({"supplies": np.zeros(5, I64)}, r"^supplies holds 5 values, expected 4 \(K per node id\)$"),
        ({"costs": np.ones(4)}, "^argument 'costs' must hold native int64 values, not items of format 'd'$"),
        ({"up": np.ones(2, np.int32)}, "^argument 'up' must hold native int64 values"),
        ({"tails": np.ones(2, np.uint64)}, "^argument 'tails' must hold native int64 values"),
        ({"heads": np.full(2, 2, ">i8")}, "^argument 'heads' must hold native int64 values, not items of format '>q'"),
        ({"supplies": np.zeros(8, I64)[::2]}, "^argument 'supplies' must be C-contiguous$"),
        ({"costs": np.ones((4, 2), I64)[:, 0]}, "^argument 'costs' must be C-contiguous$"),
        ({"node_ids": np.array([2, 1], I64)}, "^node_ids must ascend strictly: 1 follows 2$"),
        ({"node_ids": np.array([1, 1], I64)}, "^node_ids must ascend strictly"),
        ({"heads": np.array([2, 3], I64)}, r"^arc 2 \(1 -> 3\) has an end that is not among node_ids$"),
        ({"tails": np.array([-2**63, 1], I64)}, r"^arc 1 \(-9223372036854775808 -> 2\) has an end that is not"),
    ],
)
def test_write_mnetgen_refuses_columns_before_touching_a_file(tmp_path: Path, change: dict, message: str) -> None:
    args = {**columns(), **change}
    with pytest.raises(ValueError, match=message):
        _native.write_mnetgen(str(tmp_path / "x"), *args.values(), True)
    assert not list(tmp_path.iterdir())


def bad_arrays(arrays: pt.DataSetArrays, name: str, value: Any) -> pt.DataSetArrays:
    fields = {f: getattr(arrays, f) for f in ("node_ids", "tails", "heads", "low", "up", "costs", "capacities",
                                               "supplies")}
    return pt.DataSetArrays(**{**fields, name: value(fields[name])})


@pytest.mark.parametrize(
    "name, value, message",
    [
        ("costs", lambda a: a.astype(np.int32), "^costs must be an int64 or float64 NumPy array, got int32$"),
        ("up", lambda a: a.tolist(), "^up must be an int64 or float64 NumPy array, got list$"),
        ("supplies", lambda a: a.astype(">i8"), "^supplies must be an int64 or float64 NumPy array"),
        ("capacities", lambda a: a[:-1], r"^capacities has shape \(13, 3\), expected \(14, 3\) for 9 nodes, 14 arcs and 3 commodities$"),
        ("supplies", lambda a: a[:, :1], r"^supplies has shape \(9, 1\), expected \(9, 3\)"),
        ("low", lambda a: a[:, None], r"^low must have 1 dimension\(s\), got shape \(\d+, 1\)$"),
        ("low", lambda a: a[:-3], r"^low has shape \(11,\), expected \(14,\)"),
        ("node_ids", lambda a: np.stack([a, a]), r"^node_ids must have 1 dimension"),
        ("costs", lambda a: a[:, 0], r"^costs must have 2 dimension"),
        ("node_ids", lambda a: a[::-1], "^node_ids must ascend strictly$"),
        ("heads", lambda a: np.where(np.arange(a.size) == 3, 10**15, a), r"^heads\[3\] = 1000000000000000 is not among"),
        ("tails", lambda a: a - 2**62, r"^tails\[0\] = -\d+ is not among node_ids$"),
    ],
)
def test_every_consumer_refuses_arrays_that_are_not_one_data_set(tmp_path: Path, records: tuple, name: str,
                                                                 value: Any, message: str) -> None:
    arrays = bad_arrays(pt.arrays_from_data(*records), name, value)
    consumers = [lambda: pt.export_mnetgen(arrays, tmp_path / "x"), lambda: pt.build_model(arrays),
                 lambda: pt.check_feasibility(arrays, bundled=False),
                 lambda: pt.verify_certificate(arrays, np.zeros((14, 3), I64))]
    for consume in consumers:
        with pytest.raises(ValueError, match=message):
            consume()
    assert not list(tmp_path.iterdir())


# Node ids spread far apart (searched), close together (a table over their range), filling it.
@pytest.mark.parametrize(
    "ids, outsiders",
    [([-2**63, -5, 0, 7, 2**63 - 1], [-6, 1, 2**62]), ([-3, 0, 4, 9, 12], [-4, 5, 13, 2**63 - 1]),
     ([4, 5, 6, 7, 8], [3, 9, -2**63])],
)
def test_arrays_with_ids_anywhere_in_the_64_bit_range_are_one_data_set(tmp_path: Path, ids: list[int],
                                                                       outsiders: list[int]) -> None:
    node_ids = np.array(ids, I64)
    ends = node_ids[[0, 4, 2]]
    arrays = pt.DataSetArrays(node_ids, ends, ends[::-1].copy(), np.zeros(3, I64), np.ones(3, I64),
                              np.ones((3, 1), I64), np.ones((3, 1), I64), np.zeros((5, 1), I64))
    assert pt.export_mnetgen(arrays, tmp_path / "x").tolist() == ids
    for outside in outsiders:
        bad = bad_arrays(arrays, "tails", lambda a, x=outside: np.array([a[0], x, a[2]], I64))
        with pytest.raises(ValueError, match=rf"^tails\[1\] = {outside} is not among node_ids$"):
            bad.validate()


# --- memory bounded by what the file holds --------------------------------------------------------------


def test_a_huge_k_costs_what_the_node_lines_hold(tmp_path: Path) -> None:
    path = tmp_path / "k.mcf"
    path.write_text("p min 3 0 100000000 0 0 0 0 0 0\nn 1 6 1 2 3\nn 5 -6 -1 -2 -3\n")  # 2.4 GB of rows if dense
    # The peak is started afresh in the child: ru_maxrss would keep the parent's, from before exec.
    script = textwrap.dedent(f"""
        import json, pathlib
        pathlib.Path("/proc/self/clear_refs").write_text("5")
        import pelmora_tools
        s = pelmora_tools.arrays_from_file({str(path)!r}).supplies
        status = pathlib.Path("/proc/self/status").read_text().split("VmHWM:")[1]
        print(json.dumps([s.shape, s[:, :4].tolist(), int(s[:, -3:].sum()), int(status.split()[0])]))
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    shape, head, tail, peak_kib = json.loads(out)
    assert (shape, head, tail) == ([2, 100_000_000], [[1, 2, 3, 0], [-1, -2, -3, 0]], 0)
    if not UNDER_ASAN:  # whose shadow of the 2.4 GB block alone is 300 MB
        assert peak_kib < 200 * 1024  # the interpreter and NumPy alone take about 40 MiB


@pytest.mark.parametrize(
    "k, nodes, message",
    [
        (2**63, 2, "9223372036854775808 commodities are more than the available memory can hold for 2 nodes"),
        (2**64 - 1, 1, "18446744073709551615 commodities are more than the available memory can hold for 1 nodes"),
        (10**15, 3, "1000000000000000 commodities are more than the available memory can hold for 3 nodes"),
    ],
)
def test_rows_beyond_memory_are_refused_in_one_line(tmp_path: Path, k: int, nodes: int, message: str) -> None:
    path = tmp_path / "k.mcf"
    path.write_text(f"p min {nodes} 0 {k} 0 0 0 0 0 0\n" + "".join(f"n {i} 0 1\n" for i in range(1, nodes + 1)))
    assert pelmora.load_multi_commodity_instance(str(path)).num_commodities == k  # the module reads it
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        pt.arrays_from_file(path)


# --- every native entry sizes every column it reads by the one shape check ---------------------------

# Each native entry's columns in the order the shape check takes them: what each holds per node
# ("node"), per arc, or K per node or arc. The first two of verify and write_mnetgen (node_ids,
# tails) set n and m; potentials and peel are given n, and tails sets m.
NODE, ARC, NODE_K, ARC_K = "node", "arc", "node_k", "arc_k"
ENTRIES = {
    "verify": ["heads", ARC, "low", ARC, "up", ARC, "capacities", ARC_K, "supplies", NODE_K, "certificate", ARC_K],
    "write_mnetgen": ["heads", ARC, "up", ARC, "costs", ARC_K, "capacities", ARC_K, "supplies", NODE_K],
    "potentials": ["heads", ARC, "capacity", ARC, "costs", ARC, "flow", ARC],
    "peel": ["heads", ARC, "supplies", NODE],
    "save_feasible": ["costs", ARC_K, "capacities", ARC_K],
    "feasible": ["flow", ARC],
}


@pytest.fixture(scope="module")
def feasible_made() -> pt.FeasibleDataSet:
    pytest.importorskip("ortools")
    return pt.generate_feasible(pelmora.load_min_instance(str(DATA / "glpk-sample.min")), 2, "spread", seed=1)


def sized(values: np.ndarray, size: int) -> np.ndarray:
    """`values` cut or repeated to `size` values."""
    return np.resize(values, size).astype(I64) if values.size else np.zeros(size, I64)


def native_call(entry: str, made: pt.FeasibleDataSet, n: int, m: int, k: int, sizes: dict[str, int],
                folder: Path) -> Any:
    """The entry called on columns of the given sizes, their values those of a data set that fits."""
    ids = np.arange(1, n + 1, dtype=I64)
    ends = sized(ids, m)
    ones = {name: np.ones(size, I64) for name, size in sizes.items()}
    if entry == "verify":
        c = {**ones, "heads": sized(ids[::-1], sizes["heads"]), "low": np.zeros(sizes["low"], I64),
             "supplies": np.zeros(sizes["supplies"], I64), "certificate": np.zeros(sizes["certificate"], I64)}
        return _native.verify(k, ids, ends, c["heads"], c["low"], c["up"], c["capacities"], c["supplies"],
                              c["certificate"])
    if entry == "write_mnetgen":
        c = {**ones, "heads": sized(ids[::-1], sizes["heads"]), "supplies": np.zeros(sizes["supplies"], I64)}
        return _native.write_mnetgen(str(folder / "x"), k, ids, ends, c["heads"], c["up"], c["costs"],
                                     c["capacities"], c["supplies"], False)
    if entry == "potentials":
        c = {**ones, "heads": sized(ids[::-1] - 1, sizes["heads"]), "flow": np.zeros(sizes["flow"], I64)}
        return _native.potentials(n, ends - 1, c["heads"], c["capacity"], c["costs"], c["flow"])
    if entry == "peel":
        return _native.peel(n, ends - 1, sized(ids[::-1] - 1, sizes["heads"]), np.zeros(sizes["supplies"], I64))
    if entry == "save_feasible":
        a = made.arrays
        return _native.save_feasible(made._result, str(folder / "f.mcf"), sized(a.costs.ravel(), sizes["costs"]),
                                     sized(a.capacities.ravel(), sizes["capacities"]))
    instance = pelmora.load_min_instance(str(DATA / "glpk-sample.min"))
    return _native.feasible(instance, sized(made.certificate.sum(axis=1), sizes["flow"]),
                            _native.feasible_options(2, 0, seed=1))


@settings(max_examples=120, deadline=None)
@given(entry=st.sampled_from(list(ENTRIES)), n=st.integers(1, 4), m=st.integers(0, 5),
       k=st.sampled_from([1, 2, 3, 2**62]), data=st.data())
def test_every_native_entry_refuses_a_column_of_another_size_before_reading_it(
    feasible_made: pt.FeasibleDataSet, entry: str, n: int, m: int, k: int, data: st.DataObject
) -> None:
    spec = ENTRIES[entry]
    if entry in ("potentials", "peel", "feasible"):
        k = 1
    if entry in ("save_feasible", "feasible"):  # the shape of the generated data set
        n, m, k = feasible_made.arrays.num_nodes, feasible_made.arrays.num_arcs, 1 if entry == "feasible" else 2
    want = {NODE: n, ARC: m, NODE_K: n * k, ARC_K: m * k}
    deltas = data.draw(st.lists(st.sampled_from([0, 0, 0, -1, 1, 2]), min_size=len(spec) // 2,
                                max_size=len(spec) // 2))
    names, pers = spec[::2], spec[1::2]
    too_many = k * max(n, m) * 8 > 2**63 - 1
    sizes = {name: 0 if too_many else max(want[per] + d, 0) for name, per, d in zip(names, pers, deltas, strict=True)}
    wrong = [(name, sizes[name], want[per]) for name, per in zip(names, pers, strict=True)
             if sizes[name] != want[per]]
    with tempfile.TemporaryDirectory() as folder:
        if too_many:
            with pytest.raises(ValueError, match=f"^num_commodities {k} with {n} node ids and {m} arcs makes more"):
                native_call(entry, feasible_made, n, m, k, sizes, Path(folder))
        elif wrong:
            name, got, expected = wrong[0]
            with pytest.raises(ValueError, match=rf"^{name} holds {got} values, expected {expected} \("):
                native_call(entry, feasible_made, n, m, k, sizes, Path(folder))
            assert not list(Path(folder).iterdir())
        else:
            native_call(entry, feasible_made, n, m, k, sizes, Path(folder))
