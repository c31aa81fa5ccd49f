"""A parameter sweep (methods x K x seeds) on a dask.distributed cluster, results in one CSV file.

    python examples/sweep.py [instance.min] [--out DIR] [--methods 0 1 2] [--k 2 4 8] [--seeds 3]
                             [--workers 2 | --scheduler tcp://HOST:8786]

Every task loads the ".min" file itself, generates one multi-commodity data set, writes it to its own
file in DIR and returns plain numbers. The module's objects cannot be pickled (by design), so nothing
but paths and numbers travels between the client and the workers. The rows come back as one pandas
DataFrame, written to DIR/results.csv (--csv to rename it) and summarised on standard output.

Without --scheduler the sweep starts a LocalCluster of --workers worker processes on this machine
(127.0.0.1 only) and stops it at the end. With --scheduler it uses a running cluster instead; the
instance path and DIR must then name the same files on every worker (a shared file system), so they
are passed to the tasks as absolute paths.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
from collections.abc import Iterator, Sequence
from pathlib import Path

import pandas as pd
from distributed import Client, LocalCluster

import pelmora

DEFAULT_INSTANCE = Path(__file__).resolve().parent.parent / "tests" / "data" / "own-net-5000n-12500a.min"
METHODS = {0: "spread", 1: "uniform", 2: "beta-binomial"}

Row = dict[str, int | float | str]


def output_name(instance_path: str, method: int, k: int, seed: int) -> str:
    """The file name of one task's multi-commodity file."""
    return f"{Path(instance_path).stem}-m{method}-k{k}-s{seed}.mcf"


def run_task(
    instance_path: str,
    out_dir: str,
    method: int,
    k: int,
    seed: int,
    randomize_caps: bool,
    randomize_costs: bool,
    cap_zero_param: float,
    concentration: float,
) -> Row:
    """One point of the sweep, run on a worker: load, generate, write; return plain numbers only."""
    started = time.perf_counter()
    instance = pelmora.load_min_instance(instance_path)
    loaded = time.perf_counter()
    data = pelmora.generate_multi_commodity_data(
        instance,
        k,
        method,
        randomize_caps=randomize_caps,
        randomize_costs=randomize_costs,
        concentration_param=concentration,
        cap_zero=cap_zero_param > 0,
        cap_zero_param=cap_zero_param,
        seed=seed,
    )
    generated = time.perf_counter()
    name = output_name(instance_path, method, k, seed)
    path = Path(out_dir) / name
    pelmora.save_multi_commodity_instance(str(path), instance, data)
    written = time.perf_counter()

    partition = data.supply_partition
    supply = [sum(max(values[c], 0) for values in partition.values()) for c in range(k)]
    net = [sum(values[c] for values in partition.values()) for c in range(k)]
    closed = sum(values.count(0) for values in data.capacities_by_arc.values())
    return {
        "instance": Path(instance_path).name,
        "method": method,
        "method_name": METHODS.get(method, str(method)),
        "k": k,
        "seed": seed,
        "file": name,
        "file_bytes": path.stat().st_size,
        "arcs": len(data.capacities_by_arc),
        "heterogeneity": pelmora.compute_commodity_demand_heterogeneity(partition, instance.supplies),
        "min_commodity_supply": min(supply),
        "max_commodity_supply": max(supply),
        "max_abs_net": max(abs(x) for x in net),
        "closed_pairs": closed,
        "load_s": loaded - started,
        "generate_s": generated - loaded,
        "write_s": written - generated,
        "worker_pid": os.getpid(),
    }


@contextlib.contextmanager
def connect(scheduler: str | None, workers: int, threads: int) -> Iterator[Client]:
    """A client of the given scheduler, or of a LocalCluster of worker processes that is closed afterwards."""
    # distributed's constructors and gather() carry no annotations, hence the ignores under mypy --strict.
    if scheduler:
        with Client(scheduler) as client:  # type: ignore[no-untyped-call]
            yield client
        return
    with (
        LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=workers,
            threads_per_worker=threads,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
        ) as cluster,
        Client(cluster) as client,  # type: ignore[no-untyped-call]
    ):
        yield client


def sweep(
    client: Client,
    instance_path: str,
    out_dir: str,
    methods: Sequence[int],
    ks: Sequence[int],
    seeds: Sequence[int],
    randomize_caps: bool = True,
    randomize_costs: bool = True,
    cap_zero_param: float = 0.1,
    concentration: float = 3.0,
) -> pd.DataFrame:
    """Runs one task per (method, K, seed) on the client's cluster and collects the rows, sorted."""
    futures = [
        client.submit(
            run_task,
            instance_path,
            out_dir,
            method,
            k,
            seed,
            randomize_caps,
            randomize_costs,
            cap_zero_param,
            concentration,
            pure=False,
        )
        for method in methods
        for k in ks
        for seed in seeds
    ]
    rows: list[Row] = client.gather(futures)  # type: ignore[no-untyped-call]
    return pd.DataFrame(rows).sort_values(["method", "k", "seed"]).reset_index(drop=True)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("instance", nargs="?", default=str(DEFAULT_INSTANCE), help="a DIMACS .min file")
    parser.add_argument("--out", type=Path, default=Path("sweep-out"), help="directory for the files and the CSV")
    parser.add_argument("--csv", default="results.csv", help="name of the CSV file inside --out")
    parser.add_argument("--methods", type=int, nargs="+", default=[0, 1, 2], choices=sorted(METHODS))
    parser.add_argument("--k", type=int, nargs="+", default=[2, 4, 8], help="numbers of commodities")
    parser.add_argument("--seeds", type=int, default=3, help="seeds 0 .. N-1 for every (method, K)")
    parser.add_argument("--first-seed", type=int, default=0)
    parser.add_argument("--randomize-caps", action=argparse.BooleanOptionalAction, default=True)
    parser.add_argument("--randomize-costs", action=argparse.BooleanOptionalAction, default=True)
    parser.add_argument("--cap-zero-param", type=float, default=0.1, help="fraction of arcs closed per commodity")
    parser.add_argument("--concentration", type=float, default=3.0, help="for the beta-binomial split")
    parser.add_argument("--scheduler", help="address of a running scheduler, e.g. tcp://10.0.0.5:8786")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    parser.add_argument("--threads", type=int, default=1, help="threads per local worker")
    args = parser.parse_args(argv)
    if args.seeds < 1 or args.first_seed < 0 or min(args.k) < 1 or args.workers < 1 or args.threads < 1:
        parser.error("need --seeds >= 1, --first-seed >= 0, every --k >= 1, --workers >= 1 and --threads >= 1")

    out = args.out.resolve()
    out.mkdir(parents=True, exist_ok=True)
    instance_path = str(Path(args.instance).resolve())
    seeds = range(args.first_seed, args.first_seed + args.seeds)
    started = time.perf_counter()
    with connect(args.scheduler, args.workers, args.threads) as client:
        frame = sweep(
            client,
            instance_path,
            str(out),
            args.methods,
            args.k,
            seeds,
            randomize_caps=args.randomize_caps,
            randomize_costs=args.randomize_costs,
            cap_zero_param=args.cap_zero_param,
            concentration=args.concentration,
        )
    csv = out / args.csv
    frame.to_csv(csv, index=False)
    summary = frame.groupby(["method_name", "k"], sort=False)["heterogeneity"].agg(["mean", "std", "min", "max"])
    print(summary.to_string(float_format=lambda x: f"{x:.4f}"))
    print(f"{len(frame)} tasks on {frame['worker_pid'].nunique()} worker processes in "
          f"{time.perf_counter() - started:.1f} s; wrote {csv}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
