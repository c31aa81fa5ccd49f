#include <cstdint>

#include "logic/generator/generator.hpp"
#include "logic/generator/internal.hpp"

namespace pelmora::logic::generator {

Outcome<SupplyPartition> detail::uniform_before_balancing(const SupplyMap& data, uint64_t K) {
    if (K == 0) {
        // The uniform split gives even a zero total a row, so any entry needs a commodity.
        if (!data.empty()) return Error::value("num_commodities must be at least 1 when data is not empty");
        return SupplyPartition{};
    }

    SupplyPartition partition;
    const std::size_t cells = detail::checked_cells(data.size(), K);
    // From here on K fits a signed 64-bit divisor: K cells were allocatable for at least one row.
    partition.keys.reserve(data.size());
    partition.offsets.reserve(data.size() + 1);
    partition.values.reserve(cells);

    const int64_t k = static_cast<int64_t>(K);
    uint64_t cursor = 0;  // carries on from node to node so that remainders cycle through commodities
    detail::RowPoll poll;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (poll.stop_after(K)) return Error::interrupted();
        const int64_t total = data.totals[i];
        const int64_t q = total / k;
        const int64_t r = total - q * k;
        const std::size_t base = partition.values.size();
        partition.values.resize(base + K, q);
        const int64_t unit = total < 0 ? -1 : 1;
        for (int64_t left = r < 0 ? -r : r; left > 0; --left) {
            partition.values[base + cursor] += unit;
            if (++cursor == K) cursor = 0;
        }
        partition.keys.push_back(data.nodes[i]);
        partition.offsets.push_back(partition.values.size());
    }
    return partition;
}

Outcome<SupplyPartition> split_supply_and_demand_uniform(const SupplyMap& data, uint64_t num_commodities) {
    Outcome<SupplyPartition> partition = detail::uniform_before_balancing(data, num_commodities);
    if (!partition) return partition;
    if (Outcome<void> balanced = balance_commodities(partition.value(), data, num_commodities, nullptr); !balanced)
        return balanced.error();
    return partition;
}

}  // namespace pelmora::logic::generator
