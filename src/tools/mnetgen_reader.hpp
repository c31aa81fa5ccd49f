// The four files of the mnetgen family read back as a data set: ".nod" (K, n, m and, optionally,
// the number of mutual capacities), ".arc" (name, tail, head, commodity, cost, capacity, mutual
// pointer), ".sup" (node, commodity, amount) and ".mut" (pointer, capacity).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/outcome.hpp"
#include "tools/data_arrays.hpp"

namespace pelmora::tools {

// The columns of the data set. A column whose `real_*` flag is set holds IEEE doubles (bit for
// bit in its int64 storage) instead of integers: the files wrote a value with a fraction in it,
// or "no bound" (+inf) where the column is a bound. Every other column is exact int64.
struct MnetgenData {
    uint64_t num_commodities = 0;
    Column node_ids, tails, heads, up;  // every arc's lower bound is 0
    ZeroedValues costs, capacities, supplies;
    bool real_up = false, real_costs = false, real_capacities = false, real_supplies = false;
};

// Reads prefix + ".nod", ".mut", ".arc" and ".sup". Records with the same arc name are one arc
// (same ends, same mutual pointer), each record giving one commodity's cost and capacity, or every
// commodity's with commodity -1; a commodity without a record is closed on that arc. Nodes are
// those the files name (arc ends and supply lines), by their numbers. Value error, naming file and
// line, for anything else; Io error, naming the file, for one that cannot be opened or read.
// Memory grows with the lines read: the counts of ".nod" bound the numbers, they size nothing
// beyond what the files hold (the K columns of each arc and node excepted, which are refused
// beyond the memory available).
Outcome<MnetgenData> read_mnetgen(std::string_view prefix);

}  // namespace pelmora::tools
