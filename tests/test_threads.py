"""Several threads call every function at once on shared objects and must get exactly what a serial
run gives.

The module declares that it needs no GIL. On a free-threaded interpreter (3.13t) importing it must
leave the GIL off, and the calls then really run at the same time; on a regular build the test
still checks that interleaved calls (a switch interval of a microsecond) share nothing.
"""

import os
import random
import sys
import sysconfig
import threading
import types
from pathlib import Path

import pytest

import pelmora

DATA = Path(__file__).parent / "data"
THREADS = 8
ROUNDS = 2

CLASSES = (pelmora.Edge, pelmora.NetworkInstance, pelmora.MultiCommodityData,
           pelmora.ParsedMulticommodityInstance, pelmora.MultiCommoditySupplies)
ATTRIBUTES = {cls: [n for n, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)] for cls in CLASSES}


def canonical(value):
    """A plain, comparable picture of a result: objects by their attributes, floats by their bits,
    containers in their own order (the order of dict keys is part of the result)."""
    if isinstance(value, CLASSES):
        return type(value).__name__, tuple((name, canonical(getattr(value, name))) for name in ATTRIBUTES[type(value)])
    if isinstance(value, dict):
        return "dict", tuple((canonical(k), canonical(v)) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return type(value).__name__, tuple(canonical(v) for v in value)
    if isinstance(value, float):
        return "float", value.hex()
    return value


def outcome(call):
    """What a call gives: its canonical result, or the class and arguments of what it raised."""
    try:
        return "result", canonical(call())
    except BaseException as error:  # PanicException derives from BaseException
        return "raised", type(error).__name__, error.args


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    """The objects every thread reads at once."""
    root = tmp_path_factory.mktemp("threads")
    # A network with parallel arcs, cut to its node lines and first 600 arcs to keep the test short.
    lines = (DATA / "own-net-parallel-300n-9000a.min").read_text().splitlines()
    arcs = [line for line in lines if line.startswith("a ")][:600]
    net_path = str(root / "net.min")
    Path(net_path).write_text("\n".join([line for line in lines if not line.startswith("a ")] + arcs) + "\n")
    instance = pelmora.load_min_instance(net_path)
    data = pelmora.generate_multi_commodity_data(instance, 3, 2, randomize_caps=True, randomize_costs=True,
                                                 cap_zero=True, cap_zero_param=0.2, seed=11)
    mcf_path = str(root / "shared.mcf")
    pelmora.save_multi_commodity_instance(mcf_path, instance, data)
    parsed = pelmora.load_multi_commodity_instance(mcf_path)
    supplies = instance.supplies
    return types.SimpleNamespace(
        root=root, net_path=net_path, mcf_path=mcf_path, instance=instance, data=data, parsed=parsed,
        supplies=supplies, partition=data.supply_partition, nodes=instance.nodes,
        topology=instance.topology(), arcs=instance.arcs, small=pelmora.load_min_instance(str(DATA / "glpk-sample.min")))


def jobs(s, tag):
    """Every function, the attribute reads of every class, and failing calls. `tag` names files
    that only one thread writes."""

    def save(instance, data, name):
        path = s.root / f"{name}-{tag}.mcf"
        pelmora.save_multi_commodity_instance(str(path), instance, data)
        return path.read_bytes()

    return {
        "load_min_instance": lambda: pelmora.load_min_instance(s.net_path),
        "load_multi_commodity_instance": lambda: pelmora.load_multi_commodity_instance(s.mcf_path),
        "save_multi_commodity_instance": lambda: save(s.instance, s.data, "big"),
        "save small": lambda: save(s.small, pelmora.generate_multi_commodity_data(s.small, 2, 0, seed=3), "small"),
        "split_supplies_uniform": lambda: pelmora.split_supplies_uniform(s.supplies, 4),
        "split_supplies_spread": lambda: pelmora.split_supplies_spread(s.supplies, 4, 99),
        "split_supplies_beta_binomial": lambda: pelmora.split_supplies_beta_binomial(s.supplies, 4, 0.7, seed=5),
        "compute_commodity_demand_heterogeneity":
            lambda: pelmora.compute_commodity_demand_heterogeneity(s.partition, s.supplies),
        **{f"generate method {m}": (lambda m=m: pelmora.generate_multi_commodity_data(
            s.instance, 3, m, randomize_caps=m != 1, randomize_costs=True, cap_zero=m == 2,
            cap_zero_param=0.3, seed=17 + m)) for m in (0, 1, 2)},
        "get_adjacency_mapping": lambda: pelmora.get_adjacency_mapping(s.nodes, s.topology),
        "get_incidence_mapping": lambda: pelmora.get_incidence_mapping(s.nodes, s.arcs),
        "read NetworkInstance": lambda: s.instance,
        "read MultiCommodityData": lambda: s.data,
        "read ParsedMulticommodityInstance": lambda: s.parsed,
        "topology": lambda: (s.instance.topology(), s.parsed.topology()),
        "missing file": lambda: pelmora.load_min_instance(str(s.root / "absent.min")),
        "missing multi file": lambda: pelmora.load_multi_commodity_instance(str(s.root / "absent.mcf")),
        "unknown method": lambda: pelmora.generate_multi_commodity_data(s.instance, 2, 7),
        "negative count": lambda: pelmora.split_supplies_spread(s.supplies, -1, 0),
        "pair not a tuple": lambda: pelmora.get_adjacency_mapping(s.nodes, [[1, 2]]),
        "wrong class": lambda: pelmora.save_multi_commodity_instance(str(s.root / "x"), s.data, s.instance),
    }


@pytest.fixture(scope="module")
def serial(shared):
    return {name: outcome(call) for name, call in jobs(shared, "serial").items()}


def test_serial_run_covers_every_function_and_failure(serial):
    called = {name for name in serial if name in pelmora.__all__}
    assert called | {"generate_multi_commodity_data"} == {n for n in pelmora.__all__ if n[0].islower()}
    raised = {name: o[1] for name, o in serial.items() if o[0] == "raised"}
    assert raised == {"missing file": "OSError", "missing multi file": "RuntimeError",
                      "unknown method": "PanicException", "negative count": "OverflowError",
                      "pair not a tuple": "TypeError", "wrong class": "TypeError"}


def test_threads_match_the_serial_run(shared, serial):
    failures = []
    barrier = threading.Barrier(THREADS)

    def worker(index):
        rng = random.Random(index)
        named = list(jobs(shared, f"t{index}").items())
        barrier.wait()
        for _ in range(ROUNDS):
            rng.shuffle(named)
            for name, call in named:
                got = outcome(call)
                if got != serial[name]:
                    failures.append((index, name))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert failures == []


def test_shared_objects_unchanged_after_concurrent_use(shared, serial):
    # The records are immutable: reading them from many threads leaves them as they were.
    assert outcome(lambda: shared.instance) == serial["read NetworkInstance"]
    assert outcome(lambda: shared.parsed) == serial["read ParsedMulticommodityInstance"]
    assert outcome(lambda: shared.data) == serial["read MultiCommodityData"]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="a regular CPython build: the GIL cannot be switched off")
def test_import_keeps_the_gil_off():
    # Run in a fresh interpreter so that no other extension module has turned the GIL on.
    import subprocess
    code = "import sys, pelmora; print(sys._is_gil_enabled())"
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}  # no forcing either way
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env)
    assert out.stdout.strip() == "False"
