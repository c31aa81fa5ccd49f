// The sizes of a data set's arrays, worked out once, in checked arithmetic, for every entry point
// of the companion's native part: the arrays it hands out and the columns it is handed are sized
// by this one function, so no n x K or m x K product is ever taken unchecked, and no column is
// read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

#include "core/outcome.hpp"

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

// What a column handed in must hold.
enum class Per { Node, Arc, NodeValues, ArcValues };  // one per node or arc, or K per node or arc

struct SizedColumn {
    const char* name;
    std::size_t size;
    Per per;
};

// The shape of `nodes` nodes, `arcs` arcs and K commodities with every column's size checked
// against it, before any column is read. Value error naming K when the values would not fit a
// buffer, else the first column whose size does not fit.
Outcome<DataShape> checked_shape(uint64_t nodes, uint64_t arcs, uint64_t commodities,
                                 std::initializer_list<SizedColumn> columns);

// Value error when the node ids do not ascend strictly (every lookup by id searches them).
Outcome<void> check_ascending(std::span<const int64_t> node_ids);

}  // namespace pelmora::tools
