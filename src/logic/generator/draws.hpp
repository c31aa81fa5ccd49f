// The generator's draws on their own, for callers that build a data set around them (the
// companion's feasible mode): the per-commodity costs and capacities, and the split's cut of each
// node's total before the balancing. Both come from the same streams, in the same order, as in
// generate_multi_commodity_data, so a caller gets the module's values for a seed.
#pragma once

#include "core/outcome.hpp"
#include "logic/generator/generator.hpp"
#include "models/records.hpp"

namespace pelmora::logic::generator {

struct ArcDraws {
    models::CommodityValues costs, capacities;  // m x K, arc-major
};

// Costs and capacities exactly as generate_multi_commodity_data draws them for `options` (its
// num_commodities, seed, randomisations and multipliers; the other fields are not read), with the
// same refusals of the multipliers. Error::interrupted() when stopped.
Outcome<ArcDraws> draw_arc_values(const NetworkInstance& instance, const GenerationOptions& options);

// What a data set records of how it was made: the method, the number of commodities, which
// randomisations ran, the seed, and whether the instance has parallel arcs.
void record_options(MultiCommodityData& out, const NetworkInstance& instance, const GenerationOptions& options);

// Each non-zero total of `data` cut into K amounts of its sign by options.method, from the split's
// own stream for options.seed, before the balancing: what the split hands to balancing. Rows follow
// `data`'s order (the uniform cut gives zero totals a row too, as its split does). Refuses as the
// split refuses; an unknown method is Error::Kind::Panic as in generate_multi_commodity_data.
Outcome<SupplyPartition> cut_supplies(const SupplyMap& data, const GenerationOptions& options);

}  // namespace pelmora::logic::generator
