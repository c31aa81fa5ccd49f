#include <algorithm>
#include <cstdint>
#include <vector>

#include "logic/generator/generator.hpp"
#include "logic/generator/internal.hpp"

namespace pelmora::logic::generator {

Outcome<SupplyPartition> detail::spread_before_balancing(const SupplyMap& data, uint64_t K, rnd::StdRng& rng) {
    std::vector<int64_t> cuts;
    return split_by_cuts(
        data, K, rng, [] { return std::optional<Error>{}; },
        [&](rnd::StdRng& g, int64_t a, int64_t* out) -> std::optional<Error> {
            cuts.resize(static_cast<std::size_t>(K - 1));
            for (int64_t& c : cuts) c = rnd::random_range_i64_inclusive(g, 0, a);
            std::sort(cuts.begin(), cuts.end());
            int64_t previous = 0;
            for (int64_t c : cuts) {
                *out++ = c - previous;
                previous = c;
            }
            *out = a - previous;
            return std::nullopt;
        });
}

Outcome<SupplyPartition> split_supply_and_demand_spread(const SupplyMap& data, uint64_t num_commodities,
                                                        uint64_t seed) {
    return detail::split_and_balance(data, num_commodities, seed, [&](rnd::StdRng& rng) {
        return detail::spread_before_balancing(data, num_commodities, rng);
    });
}

}  // namespace pelmora::logic::generator
