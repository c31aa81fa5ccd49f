"""generate_multi_commodity_data on a generated instance (1,000,000 arcs, 100,000 nodes, K = 10,
both randomisations, 10% of the arcs closed per commodity), beside NumPy doing the same
arithmetic: draw the 2*m*K uniforms with its default generator, scale them into each arc's
bounds, round up, clamp, close arcs by stride and restore arcs that lost every commodity.
Target: pelmora at most 1.5x NumPy's time, in the same run. Also timed: NumPy's bare draws of the
2*m*K uniforms alone (no arithmetic), the floor any implementation of the draws pays.

    python bench/bench_generate.py [--arcs N] [--nodes N] [--k K] [--quick] [--json PATH]
"""

from __future__ import annotations

import json
import math
import sys
from pathlib import Path

import numpy as np
import numpy.typing as npt

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import best_of, network_args, network_file  # noqa: E402

import pelmora  # noqa: E402

I64 = np.iinfo(np.int64)
Ints = npt.NDArray[np.int64]


def numpy_generate(cost: Ints, up: Ints, k: int, seed: int, p: float, cap_a: float = 0.8, cap_b: float = 1.0,
                   cost_a: float = 0.8, cost_b: float = 1.2) -> tuple[Ints, Ints]:
    m = len(cost)
    rng = np.random.default_rng(seed)
    u = rng.random((2, m, k))
    cost_f, up_f = cost.astype(np.float64), up.astype(np.float64)
    lo, hi = cost_a * cost_f, cost_f * cost_b
    costs = np.ceil(lo[:, None] + u[0] * (hi - lo)[:, None])
    costs = np.clip(costs, I64.min, I64.max).astype(np.int64)
    np.maximum(costs, (cost != 0).astype(np.int64)[:, None], out=costs)
    lo, hi = cap_a * up_f, up_f * cap_b
    caps = np.ceil(lo[:, None] + u[1] * (hi - lo)[:, None])
    caps = np.clip(caps, I64.min, I64.max).astype(np.int64)
    np.maximum(caps, 1, out=caps)
    if 0 < p < 1 and m and k:
        n = max(1, math.floor(m * p))
        d = (m + n - 1) // n
        steps = np.arange(n) * d
        for c in range(k):
            caps[(c % m + steps) % m, c] = 0
        dead = np.flatnonzero(~caps.any(axis=1))
        caps[dead, dead % k] = up[dead]
    return costs, caps


def main() -> None:
    args, repeat = network_args()
    k, seed, p = args.k, 42, 0.1

    path = network_file(args.nodes, args.arcs)
    instance = pelmora.load_min_instance(str(path))
    cost = np.array(instance.weights, dtype=np.int64)
    up = np.array(instance.capacities, dtype=np.int64)
    m = len(cost)

    t_numpy = best_of(lambda: numpy_generate(cost, up, k, seed, p), repeat)
    print(f"{m} arcs, {len(instance.nodes)} nodes, K = {k}, both randomisations, {p:.0%} closed per commodity")
    print(f"NumPy, same arithmetic:          {t_numpy:8.4f} s")
    t_bare = best_of(lambda: np.random.default_rng(seed).random((2, m, k)), repeat)
    print(f"NumPy, bare draws of 2*m*K:      {t_bare:8.4f} s")
    report = {"arcs": m, "nodes": len(instance.nodes), "k": k, "numpy_s": t_numpy, "numpy_bare_s": t_bare, "runs": []}
    for method, name in ((1, "uniform"), (0, "spread"), (2, "beta-binomial")):
        t = best_of(lambda: pelmora.generate_multi_commodity_data(
            instance, k, method, randomize_caps=True, randomize_costs=True, cap_zero=True, cap_zero_param=p,
            seed=seed), repeat)
        print(f"pelmora, {name + ' split':22}  {t:8.4f} s  {t / t_numpy:5.2f}x NumPy")
        report["runs"].append({"variant": f"{name} split", "s": t})
    t = best_of(lambda: pelmora.generate_multi_commodity_data(instance, k, 1), repeat)
    print(f"pelmora, no randomisation:       {t:8.4f} s  {t / t_numpy:5.2f}x NumPy")
    report["runs"].append({"variant": "no randomisation", "s": t})
    if args.json:
        Path(args.json).write_text(json.dumps(report))


if __name__ == "__main__":
    main()
