// A data set as flat int64 columns, the shape the companion package hands to NumPy: node ids
// ascending; tails, heads, low, up per arc in arc order; costs and capacities (m x K) and supplies
// (n x K) row-major.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>

#include "core/outcome.hpp"
#include "models/records.hpp"

namespace pelmora::tools {

using Column = models::CommodityValues;

// int64 values that read as 0 until written. The block comes from calloc, which takes a large one
// straight from fresh pages without writing them: rows of n x K cost memory only where a value
// was put, so a file that declares a huge K costs what its node lines hold.
class ZeroedValues {
public:
    ZeroedValues() = default;
    // None when `count` values are beyond what the system reports available (the readers' rule),
    // or the allocation fails.
    static std::optional<ZeroedValues> make(std::size_t count) noexcept;
    std::span<int64_t> values() noexcept { return {data_.get(), size_}; }
    std::span<const int64_t> values() const noexcept { return {data_.get(), size_}; }
    // Keeps the first `count` values as the block's contents (the pages past them, never written,
    // cost no memory).
    void keep_first(std::size_t count) noexcept { size_ = count < size_ ? count : size_; }

private:
    struct Free {
        void operator()(int64_t* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<int64_t[], Free> data_;
    std::size_t size_ = 0;
};

struct DataArrays {
    uint64_t num_commodities = 0;
    Column node_ids, tails, heads, low, up, costs, capacities;
    ZeroedValues supplies;
};

// A generated data set of `instance`. Value error when the data set was made for another network.
// Each fails with an Io error, in the words of the multicommodity reader, when the n x K supplies
// cannot be had.
Outcome<DataArrays> arrays_of(const models::NetworkInstance& instance, const models::MultiCommodityData& data);
// The same, taking over the data set's costs and capacities (left empty) instead of copying them.
Outcome<DataArrays> arrays_of(const models::NetworkInstance& instance, models::MultiCommodityData&& data);
// A single-commodity instance as a data set of one commodity: its own costs and capacities.
Outcome<DataArrays> arrays_of(const models::NetworkInstance& instance);
// A parsed multicommodity file and the LOW field of its arc lines; takes over their lists.
Outcome<DataArrays> arrays_of(models::ParsedMulticommodityInstance&& parsed, Column&& lows);

}  // namespace pelmora::tools
