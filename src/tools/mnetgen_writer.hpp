// The four files of the mnetgen family (".nod", ".arc", ".sup", ".mut") and the node numbering
// beside them (".map"), written from a data set's columns.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/outcome.hpp"
#include "tools/text_file.hpp"

namespace pelmora::tools {

// Row-major views of a data set; costs and capacities hold K values per arc, supplies K per node.
struct MnetgenColumns {
    uint64_t num_commodities = 0;
    std::span<const int64_t> node_ids, tails, heads, up, costs, capacities, supplies;
};

// Value error naming the first column whose length is not that of the data set's shape (in checked
// arithmetic: n x K and m x K never wrap), or node ids that do not ascend strictly.
Outcome<void> check_columns(const MnetgenColumns& columns);

// Writes prefix + ".nod", ".arc", ".sup", ".mut" and, with `write_map`, ".map", in that order.
// Nodes are numbered 1..n in the order of `node_ids` (ascending), each arc's ends by that order.
// Checks the columns first (check_columns, then every arc end among the node ids) and touches no
// file when they are refused. An Io error names a failed write; when a file could not be created,
// `failure` says which.
Outcome<void> write_mnetgen(std::string_view prefix, const MnetgenColumns& columns, bool write_map,
                            OpenFailure& failure);

}  // namespace pelmora::tools
