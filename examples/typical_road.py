"""The typical road: load a .min network, split it into commodities, save and reload the data set.

    python examples/typical_road.py [instance.min] [num_commodities] [method]
"""

import sys
import tempfile
from pathlib import Path

import pelmora
from pelmora_tools import methods as split_methods

METHODS = {method.number: method.name for method in split_methods.METHODS}


def main(argv: list[str]) -> None:
    default = Path(__file__).resolve().parent.parent / "tests" / "data" / "own-net-5000n-12500a.min"
    path = argv[1] if len(argv) > 1 else str(default)
    k = int(argv[2]) if len(argv) > 2 else 4
    method = int(argv[3]) if len(argv) > 3 else 2

    instance = pelmora.load_min_instance(path)
    print(f"{Path(path).name}: {instance.num_nodes} nodes, {instance.num_arcs} arcs declared; "
          f"{len(instance.edges)} arcs read, {instance.num_parallel_arc_pairs} parallel pairs")

    data = pelmora.generate_multi_commodity_data(
        instance, k, method, randomize_caps=True, randomize_costs=True, cap_zero=True, cap_zero_param=0.1, seed=7
    )
    score = pelmora.compute_commodity_demand_heterogeneity(data.supply_partition, instance.supplies)
    totals = [sum(row[c] for row in data.supply_partition.values()) for c in range(k)]
    supply = [sum(max(row[c], 0) for row in data.supply_partition.values()) for c in range(k)]
    closed = sum(row.count(0) for row in data.capacities_by_arc.values())
    print(f"{k} commodities by the {METHODS[method]} split: supply per commodity {supply}, "
          f"net totals {totals}, heterogeneity {score:.4f}, {closed} (arc, commodity) pairs closed")

    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "instance.mcf"
        pelmora.save_multi_commodity_instance(str(out), instance, data)
        parsed = pelmora.load_multi_commodity_instance(str(out))
        same = (parsed.commodity_supply_demand_data == data.supply_partition
                and parsed.commodity_capacities == data.commodity_capacities
                and parsed.commodity_weights == data.commodity_weights)
        print(f"saved {out.stat().st_size} bytes and read back {parsed.num_commodities} commodities, "
              f"{len(parsed.edges)} arcs: {'identical' if same else 'DIFFERENT'} data")

    incoming, outgoing = pelmora.get_adjacency_mapping(instance.nodes, instance.topology())
    busiest = max(outgoing, key=lambda v: len(outgoing[v]))
    print(f"node {busiest} has the most outgoing arcs: {len(outgoing[busiest])}")


if __name__ == "__main__":
    main(sys.argv)
