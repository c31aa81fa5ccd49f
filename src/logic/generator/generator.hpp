// Commodity generation: the three splits, balancing, data-set generation, heterogeneity.
#pragma once

#include <cstdint>

#include "core/outcome.hpp"
#include "models/records.hpp"
#include "models/split_method.hpp"
#include "random/random.hpp"

namespace pelmora::logic::generator {

using models::ListMap;
using models::MultiCommodityData;
using models::NetworkInstance;
using models::split_method_from;
using models::SplitMethod;
using models::SupplyMap;
using models::SupplyPartition;

// Each split refuses, with Error::Kind::Value naming the argument, inputs it cannot divide
// (decided before any work); otherwise it returns the balanced partition.
Outcome<SupplyPartition> split_supply_and_demand_uniform(const SupplyMap& data, uint64_t num_commodities);
Outcome<SupplyPartition> split_supply_and_demand_spread(const SupplyMap& data, uint64_t num_commodities, uint64_t seed);
Outcome<SupplyPartition> split_supply_and_demand_beta_binomial(const SupplyMap& data, uint64_t num_commodities,
                                                               uint64_t seed, double concentration_param);

// The split of `method` (the concentration serves the beta-binomial split only, the seed all but
// the uniform one).
Outcome<SupplyPartition> split_supply_and_demand(SplitMethod method, const SupplyMap& data, uint64_t num_commodities,
                                                 uint64_t seed, double concentration_param);

double compute_commodity_demand_heterogeneity(const ListMap& partition, const SupplyMap& original);

struct GenerationOptions {
    uint64_t num_commodities = 0;
    int64_t method = 0;  // the caller's number, a SplitMethod's if generation is to succeed
    bool randomize_caps = false;
    bool randomize_costs = false;
    double cap_a = 0.8;
    double cap_b = 1.0;
    double cost_a = 0.8;
    double cost_b = 1.2;
    double concentration_param = 3.0;
    double cap_zero_param = 0.0;
    bool cap_zero = false;
    uint64_t seed = 42;
};

// A method number no SplitMethod has: Error::Kind::Panic "Unknown partitioning method: <n>".
Outcome<MultiCommodityData> generate_multi_commodity_data(const NetworkInstance& instance,
                                                          const GenerationOptions& options);

}  // namespace pelmora::logic::generator
