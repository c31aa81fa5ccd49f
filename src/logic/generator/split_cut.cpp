#include <cstdint>
#include <optional>
#include <string>

#include "logic/generator/draws.hpp"
#include "logic/generator/internal.hpp"

namespace pelmora::logic::generator {

Outcome<SupplyPartition> cut_supplies(const SupplyMap& data, const GenerationOptions& o) {
    const uint64_t K = o.num_commodities;
    rnd::StdRng rng = rnd::StdRng::seed_from_u64(o.seed);
    const std::optional<SplitMethod> method = split_method_from(o.method);
    if (!method) return Error::panic("Unknown partitioning method: " + std::to_string(o.method));
    switch (*method) {
        case SplitMethod::spread: return detail::spread_before_balancing(data, K, rng);
        case SplitMethod::uniform: return detail::uniform_before_balancing(data, K);
        case SplitMethod::beta_binomial:
            return detail::beta_binomial_before_balancing(data, K, rng, o.concentration_param);
    }
    return Error::panic("Unknown partitioning method: " + std::to_string(o.method));
}

}  // namespace pelmora::logic::generator
