"""Attribute reads of the records beside CPython building the same objects from ready-made data,
and the memory a loaded instance and a generated data set hold.

    python bench/bench_views.py [--arcs N] [--nodes N] [--quick] [--json PATH]
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import best_of, held_by, network_args, network_file  # noqa: E402

import pelmora  # noqa: E402


def main() -> None:
    args, repeat = network_args()

    path = network_file(args.nodes, args.arcs)

    instance, held = held_by(lambda: pelmora.load_min_instance(str(path)))
    m, n = len(instance.edges), len(instance.nodes)
    report = {"arcs": m, "nodes": n, "k": args.k, "instance_held_bytes": held}
    print(f"instance: {m} arcs, {n} nodes; held {held / 1e6:.1f} MB = "
          f"{held / m:.1f} B/arc (bound 80 B/arc + 40 B/node = {(80 * m + 40 * n) / 1e6:.1f} MB)")

    tails = [a[0] for a in instance.arcs]
    heads = [a[1] for a in instance.arcs]
    index = [a[2] for a in instance.arcs]
    rows = []
    t_arcs = best_of(lambda: instance.arcs, repeat)
    t_zip = best_of(lambda: list(zip(tails, heads, index)), repeat)
    rows.append(("instance.arcs", t_arcs, "list(zip(t, h, i))", t_zip))
    # About a millisecond each: more tries, so that a stray page fault or a busy neighbour does not decide.
    t_nodes = best_of(lambda: instance.nodes, 10 * repeat)
    nodes = instance.nodes
    t_copy = best_of(lambda: [int(v) for v in nodes], 10 * repeat)
    rows.append(("instance.nodes", t_nodes, "[int(v) for v in nodes]", t_copy))
    t_topo = best_of(instance.topology, repeat)
    t_zip2 = best_of(lambda: list(zip(tails, heads)), repeat)
    rows.append(("instance.topology()", t_topo, "list(zip(t, h))", t_zip2))

    data, held = held_by(lambda: pelmora.generate_multi_commodity_data(
        instance, args.k, 1, randomize_caps=True, randomize_costs=True, cap_zero=True, cap_zero_param=0.1))
    pairs = m * args.k
    report["data_held_bytes"] = held
    print(f"data set: K={args.k}; held {held / 1e6:.1f} MB = {held / pairs:.1f} B per (arc, commodity) "
          f"(bound 20 B/pair + 64 B/arc = {(20 * pairs + 64 * m) / 1e6:.1f} MB)")
    keys = list(data.commodity_capacities)
    table = [tuple(v) for v in data.commodity_capacities.values()]
    t_cc = best_of(lambda: data.commodity_capacities, repeat)
    t_dict = best_of(lambda: dict(zip(keys, map(list, table))), repeat)
    rows.append(("data.commodity_capacities", t_cc, "dict(zip(keys, map(list, rows)))", t_dict))

    print(f"{'read':28} {'pelmora s':>10}  {'CPython peer':34} {'peer s':>8} {'ratio':>6}")
    for name, ours, peer, theirs in rows:
        print(f"{name:28} {ours:10.4f}  {peer:34} {theirs:8.4f} {ours / theirs:6.2f}x")
    if args.json:
        report["reads"] = [{"read": name, "s": ours, "peer": peer, "peer_s": theirs} for name, ours, peer, theirs in rows]
        Path(args.json).write_text(json.dumps(report))


if __name__ == "__main__":
    main()
