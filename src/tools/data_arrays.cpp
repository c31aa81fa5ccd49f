#include "tools/data_arrays.hpp"

#include <algorithm>
#include <span>
#include <string>

#include "tools/shape.hpp"
#include "io/arc_index.hpp"
#include "utils/headroom.hpp"

namespace pelmora::tools {

std::optional<ZeroedValues> ZeroedValues::make(std::size_t count) noexcept {
    uint64_t bytes;
    if (__builtin_mul_overflow(uint64_t(count), sizeof(int64_t), &bytes) ||
        (bytes > io::kReserveBudget && bytes > utils::allocatable_bytes()))
        return std::nullopt;
    ZeroedValues out;
    out.data_.reset(static_cast<int64_t*>(std::calloc(std::max<std::size_t>(count, 1), sizeof(int64_t))));
    if (!out.data_) return std::nullopt;
    out.size_ = count;
    return out;
}

namespace {

using models::ListMap;

Column sized(std::size_t n) {
    Column c;
    c.resize(n);
    return c;
}

Column ascending_unique(const std::vector<int64_t>& nodes) {
    Column ids(nodes.begin(), nodes.end());
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

// Lays out a node -> amounts map (keys, and the amounts of key i) as rows of K in node-id order.
// A hand-written node line may carry fewer or more amounts than K: the missing ones are 0, the
// extra ones dropped.
template <class AmountsOf>
Outcome<ZeroedValues> supply_rows(const Column& node_ids, const std::vector<int64_t>& keys, uint64_t k,
                                  AmountsOf&& amounts_of) {
    std::optional<DataShape> shape = data_shape(node_ids.size(), 0, k);
    std::optional<ZeroedValues> made = shape ? ZeroedValues::make(shape->node_values) : std::nullopt;
    if (!made)
        return Error::io(std::to_string(k) + " commodities are more than the available memory can hold for " +
                         std::to_string(node_ids.size()) + " nodes");
    std::span<int64_t> rows = made->values();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        auto at = std::lower_bound(node_ids.begin(), node_ids.end(), keys[i]);
        if (at == node_ids.end() || *at != keys[i])
            return Error::value("node " + std::to_string(keys[i]) + " has supplies but is not a node of the network");
        std::span<const int64_t> amounts = amounts_of(i);
        std::copy_n(amounts.begin(), std::min<std::size_t>(k, amounts.size()),
                    rows.begin() + (at - node_ids.begin()) * k);
    }
    return std::move(*made);
}

Outcome<ZeroedValues> supply_rows(const Column& node_ids, const ListMap& partition, uint64_t k) {
    return supply_rows(node_ids, partition.keys, k, [&](std::size_t i) { return partition.row(i); });
}

// Tails, heads, low and up of the instance's arcs.
void fill_edges(const models::NetworkInstance& instance, DataArrays& out) {
    const std::size_t m = instance.edges.size();
    out.tails = sized(m);
    out.heads = sized(m);
    out.low = sized(m);
    out.up = sized(m);
    for (std::size_t a = 0; a < m; ++a) {
        const models::Edge& e = instance.edges[a];
        out.tails[a] = e.tail;
        out.heads[a] = e.head;
        out.low[a] = e.low;
        out.up[a] = e.up;
    }
}

// Every column but the costs and capacities, which the callers copy or move.
Outcome<DataArrays> arrays_but_values(const models::NetworkInstance& instance, const models::MultiCommodityData& data) {
    const uint64_t k = data.num_commodities;
    const std::size_t m = instance.edges.size();
    const std::optional<DataShape> shape = data_shape(0, m, k);
    if (!shape || data.arcs.size() != m || data.costs.size() != shape->arc_values ||
        data.arc_capacities.size() != shape->arc_values)
        return Error::value("data set does not fit the network: it holds capacities and costs for " +
                            std::to_string(data.arcs.size()) + " arcs, the network has " + std::to_string(m));
    DataArrays out;
    out.num_commodities = k;
    out.node_ids = ascending_unique(instance.nodes);
    Outcome<ZeroedValues> supplies = supply_rows(out.node_ids, data.supply_partition, k);
    if (!supplies) return supplies.error();
    out.supplies = std::move(supplies).value();
    fill_edges(instance, out);
    return out;
}

}  // namespace

Outcome<DataArrays> arrays_of(const models::NetworkInstance& instance, const models::MultiCommodityData& data) {
    Outcome<DataArrays> out = arrays_but_values(instance, data);
    if (!out) return out;
    out.value().costs.assign(data.costs.begin(), data.costs.end());
    out.value().capacities.assign(data.arc_capacities.begin(), data.arc_capacities.end());
    return out;
}

Outcome<DataArrays> arrays_of(const models::NetworkInstance& instance, models::MultiCommodityData&& data) {
    Outcome<DataArrays> out = arrays_but_values(instance, data);
    if (!out) return out;
    out.value().costs = std::move(data.costs);
    out.value().capacities = std::move(data.arc_capacities);
    return out;
}

Outcome<DataArrays> arrays_of(const models::NetworkInstance& instance) {
    DataArrays out;
    out.num_commodities = 1;
    out.node_ids = ascending_unique(instance.nodes);
    fill_edges(instance, out);
    out.capacities = out.up;
    out.costs = sized(instance.edges.size());
    for (std::size_t a = 0; a < instance.edges.size(); ++a) out.costs[a] = instance.edges[a].cost;
    const models::SupplyMap& s = instance.supplies;
    Outcome<ZeroedValues> supplies =
        supply_rows(out.node_ids, s.nodes, 1, [&](std::size_t i) { return std::span<const int64_t>(&s.totals[i], 1); });
    if (!supplies) return supplies.error();
    out.supplies = std::move(supplies).value();
    return out;
}

Outcome<DataArrays> arrays_of(models::ParsedMulticommodityInstance&& parsed, Column&& lows) {
    const std::size_t m = parsed.arcs.size();
    DataArrays out;
    out.num_commodities = parsed.num_commodities;
    out.node_ids = ascending_unique(parsed.nodes);
    Outcome<ZeroedValues> supplies =
        supply_rows(out.node_ids, parsed.commodity_supply_demand_data, parsed.num_commodities);
    if (!supplies) return supplies.error();
    out.supplies = std::move(supplies).value();
    out.tails = sized(m);
    out.heads = sized(m);
    out.up = sized(m);
    for (std::size_t a = 0; a < m; ++a) {
        out.tails[a] = parsed.arcs[a].tail;
        out.heads[a] = parsed.arcs[a].head;
        out.up[a] = parsed.arcs[a].up;
    }
    out.low = std::move(lows);
    out.costs = std::move(parsed.costs);
    out.capacities = std::move(parsed.arc_capacities);
    return out;
}

}  // namespace pelmora::tools
