// Helpers shared by the generator's translation units; not part of the module's interface.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "core/outcome.hpp"
#include "models/records.hpp"
#include "random/random.hpp"

namespace pelmora::logic::generator {
// Moves single units between commodities inside nodes until no commodity is in surplus while
// another is in deficit. `rng` is the split's generator, or null for the uniform split. Fails only
// with Error::interrupted(), the partition then being half balanced.
Outcome<void> balance_commodities(models::SupplyPartition& partition, const models::SupplyMap& supplies,
                                  uint64_t num_commodities, rnd::StdRng* rng);
}  // namespace pelmora::logic::generator

namespace pelmora::logic::generator::detail {

using ::pelmora::checked_cells;

inline std::size_t count_nonzero(const models::SupplyMap& data) {
    std::size_t n = 0;
    for (int64_t t : data.totals) n += (t != 0);
    return n;
}

// Position of the first total equal to INT64_MIN, or data.size().
inline std::size_t find_most_negative(const models::SupplyMap& data) {
    for (std::size_t i = 0; i < data.size(); ++i)
        if (data.totals[i] == std::numeric_limits<int64_t>::min()) return i;
    return data.size();
}

// The two splits that cut |total| need it to be a signed 64-bit value.
inline std::string most_negative_message(int64_t node) {
    return "data: the total of node " + std::to_string(node) +
           " is -9223372036854775808, whose absolute value does not fit a signed 64-bit integer";
}

// Shortest text that reads back as the same double (what Python's repr shows for finite values).
inline std::string format_double(double x) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, x);
    return std::string(buf, res.ptr);
}

using RowPoll = ::pelmora::CellPoll;

inline constexpr const char* kNoCommodityMessage =
    "num_commodities must be at least 1 when data holds a non-zero total";

// The skeleton shared by the spread and beta-binomial splits, before balancing: refuse what
// cannot be split (before any draw), then give every node with a non-zero total K amounts of its
// sign, drawn node by node in ascending order from `rng`.
// `check()` adds the method's own refusals (it runs only when K >= 2 and some total is non-zero);
// `cut(rng, magnitude, out)` writes K non-negative amounts adding up to `magnitude` (K >= 2).
template <class Check, class Cut>
Outcome<models::SupplyPartition> split_by_cuts(const models::SupplyMap& data, uint64_t K, rnd::StdRng& rng,
                                               Check&& check, Cut&& cut) {
    const std::size_t active = count_nonzero(data);
    if (K == 0) {
        if (active != 0) return Error::value(kNoCommodityMessage);
        return models::SupplyPartition{};
    }
    // With K = 1 the total is copied as it is, so only a real cut needs |total|.
    if (K >= 2 && active != 0) {
        if (std::optional<Error> refused = check()) return *std::move(refused);
        const std::size_t at = find_most_negative(data);
        if (at != data.size()) return Error::value(most_negative_message(data.nodes[at]));
    }

    models::SupplyPartition partition;
    partition.keys.reserve(active);
    partition.offsets.reserve(active + 1);
    partition.values.resize(checked_cells(active, K));
    int64_t* out = partition.values.data();
    RowPoll poll;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const int64_t total = data.totals[i];
        if (total == 0) continue;
        if (poll.stop_after(K)) return Error::interrupted();
        if (K == 1) {
            out[0] = total;
        } else {
            if (std::optional<Error> failed = cut(rng, total < 0 ? -total : total, out)) return *std::move(failed);
            if (total < 0)
                for (uint64_t k = 0; k < K; ++k) out[k] = -out[k];
        }
        out += K;
        partition.keys.push_back(data.nodes[i]);
        partition.offsets.push_back(partition.offsets.back() + K);
    }
    return partition;
}

// The three splits up to (not including) the balancing, which continues with `rng`.
Outcome<models::SupplyPartition> uniform_before_balancing(const models::SupplyMap& data, uint64_t K);
Outcome<models::SupplyPartition> spread_before_balancing(const models::SupplyMap& data, uint64_t K, rnd::StdRng& rng);
Outcome<models::SupplyPartition> beta_binomial_before_balancing(const models::SupplyMap& data, uint64_t K,
                                                                rnd::StdRng& rng, double concentration_param);

// Seeds the generator, splits with `before_balancing` and balances with the same generator.
template <class Split>
Outcome<models::SupplyPartition> split_and_balance(const models::SupplyMap& data, uint64_t K, uint64_t seed,
                                                   Split&& before_balancing) {
    rnd::StdRng rng = rnd::StdRng::seed_from_u64(seed);
    Outcome<models::SupplyPartition> partition = before_balancing(rng);
    if (!partition) return partition;
    if (Outcome<void> balanced = balance_commodities(partition.value(), data, K, &rng); !balanced)
        return balanced.error();
    return partition;
}

}  // namespace pelmora::logic::generator::detail
