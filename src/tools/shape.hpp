// The sizes of a data set's arrays, worked out once, in checked arithmetic, for every entry point
// of the companion's native part: the arrays it hands out and the columns it is handed are sized
// by this one function, so no n x K or m x K product is ever taken unchecked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pelmora::tools {

struct DataShape {
    std::size_t nodes = 0;
    std::size_t arcs = 0;
    uint64_t commodities = 0;
    std::size_t node_values = 0;  // n x K: supplies
    std::size_t arc_values = 0;   // m x K: costs, capacities
};

// The shape of n nodes, m arcs and K commodities; none when n x K or m x K int64 values would not
// fit a buffer (more bytes than a Py_ssize_t counts).
std::optional<DataShape> data_shape(uint64_t nodes, uint64_t arcs, uint64_t commodities) noexcept;

}  // namespace pelmora::tools
