// A data set as flat int64 columns, the shape the companion package hands to NumPy: node ids
// ascending; tails, heads, low, up per arc in arc order; costs and capacities (m x K) and supplies
// (n x K) row-major.
#pragma once

#include <cstdint>

#include "core/outcome.hpp"
#include "models/records.hpp"

namespace pelmora::tools {

using Column = models::CommodityValues;

struct DataArrays {
    uint64_t num_commodities = 0;
    Column node_ids, tails, heads, low, up, costs, capacities, supplies;
};

// A generated data set of `instance`. Value error when the data set was made for another network.
Outcome<DataArrays> arrays_of(const models::NetworkInstance& instance, const models::MultiCommodityData& data);
// The same, taking over the data set's costs and capacities (left empty) instead of copying them.
Outcome<DataArrays> arrays_of(const models::NetworkInstance& instance, models::MultiCommodityData&& data);
// A single-commodity instance as a data set of one commodity: its own costs and capacities.
Outcome<DataArrays> arrays_of(const models::NetworkInstance& instance);
// A parsed multicommodity file and the LOW field of its arc lines; takes over their lists.
Outcome<DataArrays> arrays_of(models::ParsedMulticommodityInstance&& parsed, Column&& lows);

}  // namespace pelmora::tools
