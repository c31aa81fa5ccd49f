#include <cstdint>
#include <string>

#include "logic/generator/draws.hpp"
#include "logic/generator/internal.hpp"

namespace pelmora::logic::generator {

Outcome<SupplyPartition> cut_supplies(const SupplyMap& data, const GenerationOptions& o) {
    const uint64_t K = o.num_commodities;
    rnd::StdRng rng = rnd::StdRng::seed_from_u64(o.seed);
    switch (o.method) {
        case 0: return detail::spread_before_balancing(data, K, rng);
        case 1: return detail::uniform_before_balancing(data, K);
        case 2: return detail::beta_binomial_before_balancing(data, K, rng, o.concentration_param);
        default: return Error::panic("Unknown partitioning method: " + std::to_string(o.method));
    }
}

}  // namespace pelmora::logic::generator
