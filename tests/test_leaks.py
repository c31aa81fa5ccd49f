"""Leaks and reference counts: every function, on its success path and on its failure paths
(argument errors included), called many times in a row.

After a warm-up, the C heap in use (glibc's mallinfo2), the memory of Python objects (tracemalloc)
and the process's resident memory must stay flat, and sys.getrefcount of every argument must be
unchanged. The normal run makes 2,000 calls per case; `make test-leaks` (PELMORA_LEAK_CALLS=100000)
makes 100,000 and prints the figures. Under AddressSanitizer (make test-sanitize) the heap and
resident-memory figures are meaningless (freed memory waits in a quarantine) and LeakSanitizer
takes over; the Python-object and reference-count checks still run.
"""

import ctypes
import gc
import math
import os
import sys
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

import pelmora
from pelmora_tools import _native

DATA = Path(__file__).parent / "data"
CALLS = int(os.environ.get("PELMORA_LEAK_CALLS", "2000"))
WARMUP = 300

UNDER_ASAN = "libasan" in Path("/proc/self/maps").read_text()


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = MallInfo2


def heap_in_use():
    """Bytes the C allocator has handed out and not got back (small and mmapped blocks)."""
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(scope="module")
def objects(tmp_path_factory):
    root = tmp_path_factory.mktemp("leaks")
    net = str(DATA / "glpk-sample.min")
    instance = pelmora.load_min_instance(net)
    data = pelmora.generate_multi_commodity_data(instance, 3, 2, randomize_caps=True, randomize_costs=True,
                                                 cap_zero=True, cap_zero_param=0.25, seed=4)
    mcf = str(root / "net.mcf")
    pelmora.save_multi_commodity_instance(mcf, instance, data)
    bad_min = root / "bad.min"
    bad_min.write_bytes(b"p min 2 1\nn 1 x\n")
    bad_mcf = root / "bad.mcf"
    bad_mcf.write_bytes(b"p min 2 1 2 0 0 1 0 zero 0\n")
    grid = pelmora.load_min_instance(str(DATA / "own-grid-40x40.min"))
    return {
        "root": root, "net": net, "mcf": mcf, "bad_min": str(bad_min), "bad_mcf": str(bad_mcf),
        "missing": str(root / "absent"), "out": str(root / "out.mcf"), "no_dir": str(root / "no" / "out.mcf"),
        "instance": instance, "data": data, "parsed": pelmora.load_multi_commodity_instance(mcf), "grid": grid,
        "supplies": instance.supplies, "partition": data.supply_partition, "nodes": instance.nodes,
        "topology": instance.topology(), "arcs": instance.arcs, "pairs": [[1, 2]], "triples": [(1, 2, 0)],
        "strange": {1: "x"}, "one": {1: 5}, "text": "12", "raw_path": b"net.min",
        "mnetgen": mnetgen_columns(str(root / "out"), 2), "mnetgen_wrapped": mnetgen_columns(str(root / "out"), 2**62),
        "mnetgen_float": mnetgen_columns(str(root / "out"), 2, float),
    }


def mnetgen_columns(prefix, k, dtype=np.int64):
    """write_mnetgen's arguments for two nodes and one arc of K commodities (all K values as given)."""
    one = np.ones(1, np.int64)
    return [prefix, k, np.array([1, 2]), one, one * 2, one, np.ones(2, dtype), np.ones(2, np.int64),
            np.zeros(4, np.int64), True]


def write_mnetgen(columns):
    _native.write_mnetgen(*columns)


def read_everything(*objects):
    for obj in objects:
        for name in dir(type(obj)):
            if not name.startswith("_") and name != "topology":
                getattr(obj, name)
    objects[0].topology()
    objects[-1].topology()


# name -> (function, positional argument keys, keyword arguments given by key, expected exception or None)
CASES = {
    "load_min_instance ok": (pelmora.load_min_instance, ["net"], {}, None),
    "load_min_instance missing": (pelmora.load_min_instance, ["missing"], {}, OSError),
    "load_min_instance bad number": (pelmora.load_min_instance, ["bad_min"], {}, OSError),
    "load_min_instance bytes path": (pelmora.load_min_instance, ["raw_path"], {}, TypeError),
    "load_min_instance extra keyword": (pelmora.load_min_instance, ["net"], {"extra": "net"}, TypeError),
    "load_multi ok": (pelmora.load_multi_commodity_instance, ["mcf"], {}, None),
    "load_multi missing": (pelmora.load_multi_commodity_instance, ["missing"], {}, RuntimeError),
    "load_multi bad float": (pelmora.load_multi_commodity_instance, ["bad_mcf"], {}, RuntimeError),
    "save ok": (pelmora.save_multi_commodity_instance, ["out", "instance", "data"], {}, None),
    "save missing directory": (pelmora.save_multi_commodity_instance, ["no_dir", "instance", "data"], {}, OSError),
    "save swapped": (pelmora.save_multi_commodity_instance, ["out", "data", "instance"], {}, TypeError),
    "save data too small": (pelmora.save_multi_commodity_instance, ["out", "grid", "data"], {}, ValueError),
    "uniform ok": (pelmora.split_supplies_uniform, ["supplies"], {"num_commodities": "k"}, None),
    "uniform str data": (pelmora.split_supplies_uniform, ["text", "k"], {}, TypeError),
    "uniform bad value": (pelmora.split_supplies_uniform, ["strange", "k"], {}, TypeError),
    "uniform negative": (pelmora.split_supplies_uniform, ["supplies", "minus"], {}, OverflowError),
    "uniform zero": (pelmora.split_supplies_uniform, ["one", "zero"], {}, ValueError),
    "spread ok": (pelmora.split_supplies_spread, ["supplies", "k", "seed"], {}, None),
    "spread seed None": (pelmora.split_supplies_spread, ["supplies", "k", "none"], {}, TypeError),
    "spread missing seed": (pelmora.split_supplies_spread, ["supplies", "k"], {}, TypeError),
    "beta ok": (pelmora.split_supplies_beta_binomial, ["supplies", "k", "half"], {"seed": "seed"}, None),
    "beta bad concentration": (pelmora.split_supplies_beta_binomial, ["supplies", "k", "minus_half"], {}, ValueError),
    "beta twice": (pelmora.split_supplies_beta_binomial, ["supplies", "k"], {"data": "supplies"}, TypeError),
    "heterogeneity ok": (pelmora.compute_commodity_demand_heterogeneity, ["partition", "supplies"], {}, None),
    "heterogeneity list": (pelmora.compute_commodity_demand_heterogeneity, ["partition", "nodes"], {}, TypeError),
    "generate ok": (pelmora.generate_multi_commodity_data, ["instance", "k", "zero"],
                    {"randomize_caps": "yes", "randomize_costs": "yes", "cap_zero": "yes", "cap_zero_param": "half"},
                    None),
    "generate unknown method": (pelmora.generate_multi_commodity_data, ["instance", "k", "seven"], {},
                                BaseException),
    "generate int flag": (pelmora.generate_multi_commodity_data, ["instance", "k", "zero"],
                          {"randomize_caps": "k"}, TypeError),
    "generate infinite multiplier": (pelmora.generate_multi_commodity_data, ["instance", "k", "zero"],
                                     {"randomize_caps": "yes", "cap_b": "inf"}, ValueError),
    "generate wrong class": (pelmora.generate_multi_commodity_data, ["parsed", "k", "zero"], {}, TypeError),
    "adjacency ok": (pelmora.get_adjacency_mapping, ["nodes", "topology"], {}, None),
    "adjacency list pair": (pelmora.get_adjacency_mapping, ["nodes", "pairs"], {}, TypeError),
    "adjacency triple": (pelmora.get_adjacency_mapping, ["nodes", "triples"], {}, TypeError),
    "incidence ok": (pelmora.get_incidence_mapping, ["nodes", "arcs"], {}, None),
    "incidence str": (pelmora.get_incidence_mapping, ["text", "arcs"], {}, TypeError),
    "attribute reads": (read_everything, ["instance", "data", "parsed"], {}, None),
    "native arrays ok": (_native.arrays, ["instance", "data"], {}, None),
    "native arrays wrong class": (_native.arrays, ["data"], {}, TypeError),
    "native read_arrays ok": (_native.read_arrays, ["mcf"], {}, None),
    "native read_arrays bad float": (_native.read_arrays, ["bad_mcf"], {}, RuntimeError),
    "native write_mnetgen ok": (write_mnetgen, ["mnetgen"], {}, None),
    "native write_mnetgen wrapped K": (write_mnetgen, ["mnetgen_wrapped"], {}, ValueError),
    "native write_mnetgen float": (write_mnetgen, ["mnetgen_float"], {}, ValueError),
}

CONSTANTS = {"k": 3, "seed": 77, "none": None, "minus": -1, "zero": 0, "seven": 7, "half": 0.5,
             "minus_half": -0.5, "yes": True, "inf": math.inf}


def resolve(objects, key):
    return objects[key] if key in objects else CONSTANTS[key]


@pytest.mark.parametrize("case", CASES)
def test_calls_leave_nothing_behind(objects, case):
    fn, keys, kw_keys, expected = CASES[case]
    args = [resolve(objects, k) for k in keys]
    kwargs = {name: resolve(objects, k) for name, k in kw_keys.items()}
    watched = [a for a in [*args, *kwargs.values()] if not isinstance(a, (int, float, bool, type(None)))]

    def call():
        try:
            fn(*args, **kwargs)
        except BaseException as error:
            if expected is None or not isinstance(error, expected):
                raise
        else:
            assert expected is None, f"{case} did not raise"

    for _ in range(WARMUP):
        call()
    gc.collect()
    counts = [sys.getrefcount(a) for a in watched]
    tracemalloc.start()
    python0 = tracemalloc.get_traced_memory()[0]
    heap0, rss0 = (heap_in_use() if _mallinfo2 else 0), resident()
    for _ in range(CALLS):
        call()
    gc.collect()
    python1 = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    heap1, rss1 = (heap_in_use() if _mallinfo2 else 0), resident()

    print(f"\n{case}: {CALLS} calls, C heap {heap1 - heap0:+d} B, Python objects {python1 - python0:+d} B, "
          f"resident {rss1 - rss0:+d} B")
    assert [sys.getrefcount(a) for a in watched] == counts
    # A leak of even one small object per call would grow these by kilobytes.
    assert python1 - python0 < 16 * 1024
    if not UNDER_ASAN:
        if _mallinfo2:
            assert heap1 - heap0 < 16 * 1024
        assert rss1 - rss0 < 2 * 1024 * 1024
