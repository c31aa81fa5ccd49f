#include <cmath>
#include <cstdint>
#include <string>

#include "logic/generator/generator.hpp"
#include "logic/generator/internal.hpp"

namespace pelmora::logic::generator {

Outcome<SupplyPartition> detail::beta_binomial_before_balancing(const SupplyMap& data, uint64_t K, rnd::StdRng& rng,
                                                                double concentration_param) {
    const double c = concentration_param;
    auto check = [&]() -> std::optional<Error> {
        if (!(c > 0.0) || !std::isfinite(c))
            return Error::value("concentration_param must be a finite number above zero, got " +
                                detail::format_double(c));
        // The second shape parameter reaches (K - 1) * c; an infinite one gives no usable Beta.
        if (!std::isfinite(static_cast<double>(K - 1) * c))
            return Error::value(
                "concentration_param is too large for num_commodities: (num_commodities - 1) * "
                "concentration_param is not finite");
        return std::nullopt;
    };
    auto cut = [&](rnd::StdRng& g, int64_t a, int64_t* out) -> std::optional<Error> {
        uint64_t rest = static_cast<uint64_t>(a);
        for (uint64_t k = 0; k + 1 < K; ++k) {
            uint64_t w = 0;
            if (rest != 0) {
                // Sequential stick-breaking: commodity k takes a Binomial share of what is left,
                // with a Beta(c, m c) probability, m being the commodities still to come.
                const auto beta = rnd::Beta::create(c, static_cast<double>(K - 1 - k) * c);
                if (!beta) return Error::panic("Beta distribution rejected its parameters");
                const double p = beta->sample(g);
                const auto binomial = rnd::Binomial::create(rest, p);
                if (!binomial)
                    return Error::panic("Binomial distribution rejected the probability " + detail::format_double(p));
                w = binomial->sample(g);
                rest -= w;
            }
            out[k] = static_cast<int64_t>(w);
        }
        out[K - 1] = static_cast<int64_t>(rest);
        return std::nullopt;
    };
    return detail::split_by_cuts(data, K, rng, check, cut);
}

Outcome<SupplyPartition> split_supply_and_demand_beta_binomial(const SupplyMap& data, uint64_t num_commodities,
                                                               uint64_t seed, double concentration_param) {
    return detail::split_and_balance(data, num_commodities, seed, [&](rnd::StdRng& rng) {
        return detail::beta_binomial_before_balancing(data, num_commodities, rng, concentration_param);
    });
}

}  // namespace pelmora::logic::generator
