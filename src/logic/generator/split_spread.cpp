#include <algorithm>
#include <cstdint>
#include <vector>

#include "logic/generator/generator.hpp"
#include "logic/generator/internal.hpp"

namespace pelmora::logic::generator {

Outcome<SupplyPartition> split_supply_and_demand_spread(const SupplyMap& data, uint64_t num_commodities,
                                                        uint64_t seed) {
    const uint64_t K = num_commodities;
    std::vector<int64_t> cuts;
    return detail::split_by_cuts(
        data, K, seed, [] { return std::optional<Error>{}; },
        [&](rnd::StdRng& rng, int64_t a, int64_t* out) -> std::optional<Error> {
            cuts.resize(static_cast<std::size_t>(K - 1));
            for (int64_t& c : cuts) c = rnd::random_range_i64_inclusive(rng, 0, a);
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

}  // namespace pelmora::logic::generator
