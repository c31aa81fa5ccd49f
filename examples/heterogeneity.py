"""How unevenly the three splits share each node's supply among the commodities, as pictures.

    python examples/heterogeneity.py [instance.min] [--out DIR] [--seeds N] [--max-k K] [--commodity C]

Writes three PNG files into DIR (default: the current directory):

- heterogeneity_concentration.png: the heterogeneity score H of the beta-binomial split against its
  concentration parameter, for a few K, every seed as a dot and the mean over the seeds as a line;
- heterogeneity_k.png: H against K for each of the three methods (spread, uniform, beta-binomial);
- supply_shares.png: for each method, the share of one commodity in every supply node's total.

H is 0 when every node splits its total evenly and 1 when every node gives all of it to one commodity.
The splits are seeded, so every run draws the same pictures. Rendering uses the Agg backend: no display needed.
"""

from __future__ import annotations

import argparse
import math
import statistics
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402  (the backend is chosen first)
from matplotlib.figure import Figure  # noqa: E402

import pelmora  # noqa: E402
from pelmora_tools import methods as split_methods  # noqa: E402

DEFAULT_INSTANCE = Path(__file__).resolve().parent.parent / "tests" / "data" / "own-net-5000n-12500a.min"
METHODS = {method.number: method.name for method in split_methods.METHODS}
DEFAULT_CONCENTRATION = 3.0

Split = Callable[[dict[int, int], int, int], dict[int, list[int]]]


def split_for(method: int, concentration: float = DEFAULT_CONCENTRATION) -> Split:
    """The split that generate_multi_commodity_data uses for `method`, as a function of (supplies, K, seed)."""
    if method == 0:
        return lambda supplies, k, seed: pelmora.split_supplies_spread(supplies, k, seed)
    if method == 1:
        return lambda supplies, k, seed: pelmora.split_supplies_uniform(supplies, k)
    if method == 2:
        return lambda supplies, k, seed: pelmora.split_supplies_beta_binomial(supplies, k, concentration, seed)
    raise ValueError(f"unknown method {method}; use 0 (spread), 1 (uniform) or 2 (beta-binomial)")


def scores(split: Split, supplies: dict[int, int], k: int, seeds: Sequence[int]) -> list[float]:
    """The heterogeneity score of one split, once per seed."""
    return [pelmora.compute_commodity_demand_heterogeneity(split(supplies, k, seed), supplies) for seed in seeds]


def log_space(low: float, high: float, count: int) -> list[float]:
    """`count` values from `low` to `high`, evenly spaced on a logarithmic scale."""
    if count == 1:
        return [low]
    step = (math.log10(high) - math.log10(low)) / (count - 1)
    return [10 ** (math.log10(low) + i * step) for i in range(count)]


def plot_concentration(supplies: dict[int, int], seeds: Sequence[int], ks: Sequence[int], out: Path) -> Path:
    """H of the beta-binomial split against its concentration parameter, one line per K."""
    concentrations = log_space(0.02, 200.0, 13)
    fig, ax = plt.subplots(figsize=(7.5, 4.8))
    for k in ks:
        per_c = [scores(split_for(2, c), supplies, k, seeds) for c in concentrations]
        means = [statistics.fmean(values) for values in per_c]
        (line,) = ax.plot(concentrations, means, marker="o", label=f"K = {k}, mean of {len(seeds)} seeds")
        for c, values in zip(concentrations, per_c, strict=True):
            ax.scatter([c] * len(values), values, s=9, alpha=0.35, color=line.get_color())
    ax.set_xscale("log")
    ax.set_ylim(-0.02, 1.02)
    ax.set_xlabel("concentration parameter of the beta-binomial split (log scale)")
    ax.set_ylabel("commodity-demand heterogeneity H")
    ax.set_title("Beta-binomial split: larger concentration, more even shares")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    return save(fig, out / "heterogeneity_concentration.png")


def plot_k(supplies: dict[int, int], seeds: Sequence[int], ks: Sequence[int], out: Path) -> Path:
    """H against K, one line per method, the spread over the seeds as error bars."""
    fig, ax = plt.subplots(figsize=(7.5, 4.8))
    for method, name in METHODS.items():
        per_k = [scores(split_for(method), supplies, k, seeds) for k in ks]
        means = [statistics.fmean(values) for values in per_k]
        spreads = [statistics.pstdev(values) for values in per_k]
        label = name if method != 2 else f"{name} (concentration {DEFAULT_CONCENTRATION:g})"
        ax.errorbar(ks, means, yerr=spreads, marker="o", capsize=3, label=label)
    ax.set_xlabel("number of commodities K")
    ax.set_ylabel(f"heterogeneity H (mean ± std. dev. over {len(seeds)} seeds)")
    ax.set_title("Heterogeneity of the three splits against K")
    ax.set_ylim(-0.02, 1.02)
    ax.grid(True, alpha=0.3)
    ax.legend()
    return save(fig, out / "heterogeneity_k.png")


def commodity_shares(
    partition: dict[int, list[int]], supplies: dict[int, int], commodity: int
) -> tuple[list[int], list[float]]:
    """Supply nodes in ascending order and the share of `commodity` in each one's total."""
    nodes = sorted(v for v, total in supplies.items() if total > 0 and v in partition)
    return nodes, [partition[v][commodity] / supplies[v] for v in nodes]


def plot_shares(supplies: dict[int, int], k: int, commodity: int, seed: int, out: Path) -> Path:
    """For each method, the share of one commodity in every supply node's total."""
    fig, axes = plt.subplots(len(METHODS), 1, figsize=(7.5, 7.2), sharex=True, sharey=True)
    for ax, (method, name) in zip(axes, METHODS.items(), strict=True):
        partition = split_for(method)(supplies, k, seed)
        nodes, shares = commodity_shares(partition, supplies, commodity)
        score = pelmora.compute_commodity_demand_heterogeneity(partition, supplies)
        ax.scatter(nodes, shares, s=6, alpha=0.6, label=f"{name}, H = {score:.3f}")
        ax.axhline(1 / k, color="black", linewidth=0.8, linestyle="--", label=f"even share 1/K = {1 / k:.3f}")
        ax.set_ylabel(f"share of commodity {commodity}")
        ax.set_ylim(-0.03, 1.03)
        ax.legend(loc="upper right", fontsize="small")
    axes[-1].set_xlabel("supply node id")
    fig.suptitle(f"Share of commodity {commodity} in each supply node's total (K = {k}, seed {seed})")
    return save(fig, out / "supply_shares.png")


def save(fig: Figure, path: Path) -> Path:
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("instance", nargs="?", default=str(DEFAULT_INSTANCE), help="a DIMACS .min file")
    parser.add_argument("--out", type=Path, default=Path("."), help="directory for the PNG files (created if missing)")
    parser.add_argument("--seeds", type=int, default=5, help="number of seeds per point (seeds 0, 1, ...)")
    parser.add_argument("--max-k", type=int, default=16, help="largest K of the K plot")
    parser.add_argument("--commodity", type=int, default=0, help="the commodity of the share plot")
    parser.add_argument("--shares-k", type=int, default=4, help="K of the share plot")
    args = parser.parse_args(argv)
    if args.seeds < 1 or args.max_k < 2 or not 0 <= args.commodity < args.shares_k:
        parser.error("need --seeds >= 1, --max-k >= 2 and 0 <= --commodity < --shares-k")

    start = time.perf_counter()
    instance = pelmora.load_min_instance(args.instance)
    supplies = instance.supplies
    active = sum(1 for total in supplies.values() if total != 0)
    print(f"{Path(args.instance).name}: {instance.num_nodes} nodes, {active} with supply or demand")

    seeds = range(args.seeds)
    ks = sorted({k for k in (2, 3, 4, 6, 8, 12, 16, 24, 32) if k <= args.max_k} | {args.max_k})
    args.out.mkdir(parents=True, exist_ok=True)
    written = [
        plot_concentration(supplies, seeds, [k for k in (2, 4, 8) if k <= args.max_k] or [args.max_k], args.out),
        plot_k(supplies, seeds, ks, args.out),
        plot_shares(supplies, args.shares_k, args.commodity, 0, args.out),
    ]
    for path in written:
        print(f"wrote {path} ({path.stat().st_size} bytes)")
    print(f"done in {time.perf_counter() - start:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
