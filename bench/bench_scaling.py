#!/usr/bin/env python3
"""Cost against instance size: load_min_instance, generate_multi_commodity_data and the file round
trip (save_multi_commodity_instance + load_multi_commodity_instance) on NETGEN-like instances from
10^4 to 5*10^6 arcs (nodes = arcs / 10), each beside its peers measured at the same size:

- reading the .min file: `cat`, LEMON's readDimacsMin, GLPK's glp_read_mincost, a plain-Python reader;
- generation (K = 10, both randomisations, 10% of the arcs closed per commodity): NumPy's bare draws
  of the 2*m*K uniforms, and NumPy doing the same arithmetic (bench_generate.py);
- the round trip: `cat` and `wc -l` of the written file, and a plain-Python writer of the same bytes
  (up to 10^6 arcs: beyond that its Python lists alone take gigabytes).

Then the peak resident memory (VmHWM, reset between steps) of loading the largest file and of
generating K = 10 on it, in a fresh interpreter.

    python bench/bench_scaling.py [--quick] [--sizes M,M,...] [--no-install] [--json PATH]

LEMON's and GLPK's columns need Debian's liblemon-dev and libglpk-dev; without --no-install the
bench installs them with apt-get when it can, and skips a column with a message when it cannot.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import shutil
import subprocess
import sys
from functools import partial
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
OUT = HERE / "out"
sys.path.insert(0, str(HERE))
from bench_generate import numpy_generate  # noqa: E402
from bench_load import best_of, lemon_binary, python_reader, time_command, time_lemon  # noqa: E402
from bench_mcf import python_writer  # noqa: E402
from gen_instance import write_instance  # noqa: E402

import pelmora  # noqa: E402

FULL_SIZES = [10_000, 30_000, 100_000, 300_000, 1_000_000, 2_000_000, 5_000_000]
QUICK_SIZES = [10_000, 30_000]
K, SEED, CLOSED = 10, 42, 0.1
PYTHON_WRITER_MAX_ARCS = 1_000_000


def generation_args() -> dict[str, Any]:
    return dict(randomize_caps=True, randomize_costs=True, cap_zero=True, cap_zero_param=CLOSED, seed=SEED)


def apt_install(package: str) -> bool:
    if shutil.which("apt-get") is None:
        return False
    quiet: dict[str, Any] = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    if subprocess.run(["apt-get", "install", "-y", package], env=env, **quiet).returncode == 0:
        return True
    subprocess.run(["apt-get", "update"], env=env, **quiet)
    return bool(subprocess.run(["apt-get", "install", "-y", package], env=env, **quiet).returncode == 0)


def glpk_binary(install: bool) -> Path | None:
    binary = OUT / "glpk_read"
    if binary.exists():
        return binary
    if not Path("/usr/include/glpk.h").exists():
        if not install:
            print("GLPK: skipped, libglpk-dev is not installed (not installing in this mode)")
            return None
        print("GLPK: installing libglpk-dev ...", flush=True)
        if not apt_install("libglpk-dev"):
            print("GLPK: skipped, apt-get could not install libglpk-dev")
            return None
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        print("GLPK: skipped, no C compiler")
        return None
    build = subprocess.run([compiler, "-O2", str(HERE / "glpk_read.c"), "-o", str(binary), "-lglpk"],
                           capture_output=True, text=True)
    if build.returncode != 0:
        print("GLPK: skipped, the reader program does not build:", build.stderr.strip().splitlines()[-1:])
        return None
    return binary


def lemon(install: bool) -> Path | None:
    if not install and not (OUT / "lemon_read").exists() and not Path("/usr/include/lemon/dimacs.h").exists():
        print("LEMON: skipped, liblemon-dev is not installed (not installing in this mode)")
        return None
    return lemon_binary()


def instance_file(arcs: int) -> Path:
    nodes = arcs // 10
    path = OUT / f"net-{nodes}n-{arcs}a.min"
    if not path.exists():
        print(f"generating {path.name} ...", flush=True)
        write_instance(str(path), nodes, arcs, seed=1)
    return path


def python_reader_time(path: Path, repeat: int) -> float:
    # As bench_load.py times it: the cyclic collector off, as a careful program reading a big file.
    gc.disable()
    try:
        return best_of(lambda: python_reader(str(path)), repeat)
    finally:
        gc.enable()


def python_writer_time(path: Path, instance: pelmora.NetworkInstance, data: pelmora.MultiCommodityData) -> float:
    net = {"num_nodes": instance.num_nodes, "num_arcs": instance.num_arcs,
           "edges": [(e.tail, e.head, e.low, e.up) for e in instance.edges]}
    plain = {name: getattr(data, name) for name in (
        "num_commodities", "randomized_capacities", "randomized_weights", "method", "cap_zero", "cap_zero_param",
        "seed", "supply_partition", "capacities_by_arc", "weights_by_arc")}
    twin = path.with_name(path.stem + "-python.txt")
    try:
        t = best_of(lambda: python_writer(str(twin), net, plain), 1)
        if twin.read_bytes() != path.read_bytes():
            print(f"  warning: the plain-Python writer's bytes differ from pelmora's ({path.name})")
    finally:
        twin.unlink(missing_ok=True)
    return t


def measure_size(arcs: int, repeat: int, lemon_exe: Path | None, glpk_exe: Path | None) -> dict[str, Any]:
    path = instance_file(arcs)
    path.read_bytes()  # warm the page cache
    big = arcs >= 1_000_000
    peer_repeat = max(1, repeat - 1) if big else repeat
    row: dict[str, Any] = {"arcs": arcs, "nodes": arcs // 10, "file_bytes": path.stat().st_size}
    row["cat"] = time_command(["cat", str(path)], repeat)
    row["load_min_instance"] = best_of(lambda: pelmora.load_min_instance(str(path)), repeat)
    if lemon_exe:
        row["lemon"] = time_lemon(lemon_exe, path, peer_repeat)
    if glpk_exe:
        row["glpk"] = time_lemon(glpk_exe, path, peer_repeat)  # same output format: seconds nodes arcs
    row["python_reader"] = python_reader_time(path, 1 if big else 2)

    instance = pelmora.load_min_instance(str(path))
    row["generate"] = best_of(lambda: pelmora.generate_multi_commodity_data(instance, K, 1, **generation_args()),
                              repeat)
    m = len(instance.edges)
    cost = np.array(instance.weights, dtype=np.int64)
    up = np.array(instance.capacities, dtype=np.int64)
    row["numpy_bare_draws"] = best_of(lambda: np.random.default_rng(SEED).random((2, m, K)), repeat)
    row["numpy_generate"] = best_of(partial(numpy_generate, cost, up, K, SEED, CLOSED), peer_repeat)
    del cost, up

    data = pelmora.generate_multi_commodity_data(instance, K, 1, **generation_args())
    target = OUT / f"scaling-{arcs}a-k{K}.txt"
    try:
        row["save"] = best_of(lambda: pelmora.save_multi_commodity_instance(str(target), instance, data), repeat)
        row["mcf_bytes"] = target.stat().st_size
        row["load_multi_commodity_instance"] = best_of(
            lambda: pelmora.load_multi_commodity_instance(str(target)), repeat)
        row["round_trip"] = row["save"] + row["load_multi_commodity_instance"]
        row["cat_mcf"] = time_command(["cat", str(target)], repeat)
        row["wc_l_mcf"] = time_command(["wc", "-l", str(target)], repeat)
        if arcs <= PYTHON_WRITER_MAX_ARCS:
            row["python_writer"] = python_writer_time(target, instance, data)
    finally:
        target.unlink(missing_ok=True)
    return row


MEMORY_PROBE = r"""
import gc, json, sys, time
import pelmora

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))

def reset_peak():
    # Writing 5 to clear_refs resets VmHWM to the current resident size (Linux 4.0+).
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")

path, k, closed, seed = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
gc.collect()
base = status("VmRSS")
reset_peak()
t0 = time.perf_counter()
instance = pelmora.load_min_instance(path)
t_load = time.perf_counter() - t0
gc.collect()
load_peak, after_load = status("VmHWM"), status("VmRSS")
reset_peak()
t0 = time.perf_counter()
data = pelmora.generate_multi_commodity_data(instance, k, 1, randomize_caps=True, randomize_costs=True,
                                             cap_zero=True, cap_zero_param=closed, seed=seed)
t_generate = time.perf_counter() - t0
gc.collect()
generate_peak, after_generate = status("VmHWM"), status("VmRSS")
print(json.dumps({
    "arcs": len(instance.edges), "nodes": len(instance.nodes), "k": k, "baseline": base,
    "load_peak": load_peak, "instance_held": after_load - base, "load_s": t_load,
    "generate_peak": generate_peak, "data_held": after_generate - after_load, "generate_s": t_generate,
}))
"""


def measure_memory(arcs: int) -> dict[str, Any] | None:
    path = instance_file(arcs)
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        print("memory: skipped, /proc/self/clear_refs cannot reset the peak here")
        return None
    probe = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path), str(K), str(CLOSED), str(SEED)],
                           capture_output=True, text=True, check=True)
    memory: dict[str, Any] = json.loads(probe.stdout)
    return memory


def fitted_slope(sizes: list[int], times: list[float]) -> float:
    """Least-squares slope of log(time) against log(size)."""
    x, y = np.log(np.array(sizes, dtype=float)), np.log(np.array(times, dtype=float))
    return float(np.polyfit(x, y, 1)[0])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help=f"sizes {QUICK_SIZES}, 2 repeats, nothing installed")
    parser.add_argument("--sizes", help="comma-separated arc counts")
    parser.add_argument("--repeat", type=int, default=None)
    parser.add_argument("--no-install", action="store_true", help="never install LEMON or GLPK")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")] if args.sizes else QUICK_SIZES if args.quick else FULL_SIZES
    repeat = args.repeat or (2 if args.quick else 3)
    install = not (args.quick or args.no_install)

    OUT.mkdir(exist_ok=True)
    lemon_exe, glpk_exe = lemon(install), glpk_binary(install)
    rows = []
    columns = ["cat", "load_min_instance", "lemon", "glpk", "python_reader", "generate", "numpy_bare_draws",
               "numpy_generate", "save", "load_multi_commodity_instance", "round_trip", "python_writer", "cat_mcf",
               "wc_l_mcf"]
    print(f"seconds, best of {repeat} (peers at 10^6 arcs and more: one fewer; plain Python: 1 or 2)")
    print(f"{'arcs':>9} " + " ".join(f"{c[:10]:>10}" for c in columns), flush=True)
    for arcs in sizes:
        row = measure_size(arcs, repeat, lemon_exe, glpk_exe)
        rows.append(row)
        print(f"{arcs:9d} " + " ".join(f"{row[c]:10.4f}" if c in row else f"{'-':>10}" for c in columns), flush=True)

    slopes = {}
    tail = [r for r in rows if r["arcs"] >= 100_000] if len([r for r in rows if r["arcs"] >= 100_000]) >= 2 else rows
    for c in columns:
        have = [r for r in tail if c in r]
        if len(have) >= 2:
            slopes[c] = fitted_slope([r["arcs"] for r in have], [r[c] for r in have])
    print(f"log-log slopes over {tail[0]['arcs']}..{tail[-1]['arcs']} arcs: "
          + ", ".join(f"{c} {s:.2f}" for c, s in slopes.items()))

    memory = measure_memory(sizes[-1])
    if memory:
        print(f"memory at {memory['arcs']} arcs: load peak {memory['load_peak'] / 2**20:.0f} MiB "
              f"(instance holds {memory['instance_held'] / 2**20:.0f} MiB); generate K={K} peak "
              f"{memory['generate_peak'] / 2**20:.0f} MiB (data set holds {memory['data_held'] / 2**20:.0f} MiB)")
    if args.json:
        Path(args.json).write_text(json.dumps({"k": K, "closed": CLOSED, "repeat": repeat, "rows": rows,
                                               "slope_from_arcs": tail[0]["arcs"], "slopes": slopes,
                                               "memory": memory, "lemon": bool(lemon_exe), "glpk": bool(glpk_exe)}))


if __name__ == "__main__":
    main()
