#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "logic/generator/draws.hpp"
#include "logic/generator/generator.hpp"
#include "logic/generator/internal.hpp"
#include "random/distributions.hpp"  // the range draw inlined into the fill loop

namespace pelmora::logic::generator {

namespace {

// A randomisation's multipliers must be finite, also without commodities, when nothing is drawn.
// With commodities the draws need lo < hi with a finite hi - lo: a bound that overflows cannot be
// drawn from (or, when no draw happens, only saturates into a meaningless value), so such arguments
// are refused too.
Outcome<void> check_multipliers(const std::vector<models::Edge>& edges, std::size_t K, bool costs, double a, double b,
                                const char* a_name, const char* b_name) {
    const std::string when = std::string("randomize_") + (costs ? "costs" : "caps") + " is true";
    for (const auto& [x, name] : {std::pair{a, a_name}, std::pair{b, b_name}})
        if (!std::isfinite(x))
            return Error::value(std::string(name) + " must be a finite number when " + when + ", got " +
                                detail::format_double(x));
    if (K == 0) return {};
    const char* value = costs ? "cost" : "up";
    for (std::size_t p = 0; p < edges.size(); ++p) {
        const double v = static_cast<double>(costs ? edges[p].cost : edges[p].up);
        const double lo = a * v, hi = v * b;
        const char* bad = !std::isfinite(lo) ? a_name : !std::isfinite(hi) ? b_name : nullptr;
        if (bad)
            return Error::value(std::string(bad) + " is out of range: " + bad + " * " + value +
                                " of the arc at position " + std::to_string(p) + " is not finite");
        if (hi > lo && !std::isfinite(hi - lo))
            return Error::value(std::string(a_name) + " and " + b_name + " are too far apart: " + b_name + " * " +
                                value + " - " + a_name + " * " + value + " of the arc at position " +
                                std::to_string(p) + " is not finite");
    }
    return {};
}

template <bool RandomCosts, bool RandomCaps>
void fill_arcs(std::span<const models::Edge> edges, std::size_t K, const GenerationOptions& o, rnd::StdRng& rng,
               int64_t* costs, int64_t* caps) noexcept {
    for (const models::Edge& e : edges) {
        const double cost = static_cast<double>(e.cost), up = static_cast<double>(e.up);
        const double cost_lo = o.cost_a * cost, cost_hi = cost * o.cost_b;
        const double cap_lo = o.cap_a * up, cap_hi = up * o.cap_b;
        const bool draw_cost = cost_hi > cost_lo, draw_cap = cap_hi > cap_lo;
        const int64_t cost_floor = e.cost != 0 ? 1 : 0;
        for (std::size_t k = 0; k < K; ++k) {
            if constexpr (RandomCosts) {
                const double x = draw_cost ? rnd::detail::range_f64(rng, cost_lo, cost_hi) : cost_lo;
                costs[k] = std::max(rnd::detail::f64_to_i64(std::ceil(x)), cost_floor);
            } else {
                costs[k] = e.cost;
            }
            if constexpr (RandomCaps) {
                const double y = draw_cap ? rnd::detail::range_f64(rng, cap_lo, cap_hi) : cap_lo;
                caps[k] = std::max<int64_t>(rnd::detail::f64_to_i64(std::ceil(y)), 1);
            } else {
                caps[k] = e.up;
            }
        }
        costs += K;
        caps += K;
    }
}

// How many 64-bit draws fill_arcs makes for `edges`: one per commodity for each randomised value
// whose range is not empty.
uint64_t planned_draws(std::span<const models::Edge> edges, std::size_t K, const GenerationOptions& o) noexcept {
    uint64_t per_commodity = 0;
    for (const models::Edge& e : edges) {
        const double cost = static_cast<double>(e.cost), up = static_cast<double>(e.up);
        per_commodity += (o.randomize_costs && cost * o.cost_b > o.cost_a * cost) +
                         (o.randomize_caps && up * o.cap_b > o.cap_a * up);
    }
    return per_commodity * K;
}

// Below this many values one thread fills them faster than two can start.
constexpr std::size_t kParallelCells = std::size_t(1) << 17;
// The calling thread polls for a stop between blocks of about this many values (well under a
// millisecond of drawing).
constexpr std::size_t kPollCells = std::size_t(1) << 14;

// fill_arcs in blocks of whole arcs, polling before each; false when stopped. The blocks draw in
// the same order as one call would.
template <bool RandomCosts, bool RandomCaps>
bool fill_arcs_polled(std::span<const models::Edge> edges, std::size_t K, const GenerationOptions& o, rnd::StdRng& rng,
                      int64_t* costs, int64_t* caps) {
    const std::size_t block = std::max<std::size_t>(1, kPollCells / std::max<std::size_t>(K, 1));
    for (std::size_t a = 0; a < edges.size(); a += block) {
        if (interrupted()) return false;
        fill_arcs<RandomCosts, RandomCaps>(edges.subspan(a, std::min(block, edges.size() - a)), K, o, rng,
                                           costs + a * K, caps + a * K);
    }
    return true;
}

// Fills costs and capacities for every arc, drawing from rng, and runs alongside() meanwhile.
// The draws of the second half of the arcs start where those of the first half end, and that
// place is known in advance: every randomised value whose range is not empty takes exactly one
// 64-bit draw (the single-sample float range never draws again). So a helper thread fills the
// second half from a copy of the generator moved there, while the caller runs alongside() and
// fills the first half. The caller's generator must end where the helper started; were it ever
// elsewhere, the second half is filled again from there, so the result is always that of one
// thread drawing in order. Returns false when the caller was stopped (the helper, which does not
// poll, is waited for).
template <bool RandomCosts, bool RandomCaps, class Alongside>
bool fill_all_arcs(std::span<const models::Edge> edges, std::size_t K, const GenerationOptions& o, rnd::StdRng& rng,
                   int64_t* costs, int64_t* caps, Alongside&& alongside) {
    const std::size_t m = edges.size();
    if constexpr (RandomCosts || RandomCaps) {
        if (m >= 2 && m * K >= kParallelCells) {
            const std::size_t half = m / 2;
            const auto first = edges.first(half), second = edges.subspan(half);
            rnd::StdRng ahead = rng;
            ahead.discard_u32(2 * planned_draws(first, K, o));
            const uint64_t second_starts_at = ahead.word_position();
            std::jthread helper;  // joined on every way out, so it never outlives the buffers
            try {
                helper = std::jthread([&, ahead]() mutable {
                    fill_arcs<RandomCosts, RandomCaps>(second, K, o, ahead, costs + half * K, caps + half * K);
                });
            } catch (...) {  // no thread: one fills all
            }
            if (helper.joinable()) {
                alongside();
                const bool done = fill_arcs_polled<RandomCosts, RandomCaps>(first, K, o, rng, costs, caps);
                helper.join();
                if (!done) return false;
                if (rng.word_position() != second_starts_at)
                    return fill_arcs_polled<RandomCosts, RandomCaps>(second, K, o, rng, costs + half * K,
                                                                     caps + half * K);
                return true;
            }
        }
    }
    alongside();
    return fill_arcs_polled<RandomCosts, RandomCaps>(edges, K, o, rng, costs, caps);
}

// The multipliers of both randomisations, refused before any work.
Outcome<void> check_draws(const std::vector<models::Edge>& edges, const GenerationOptions& o) {
    const std::size_t K = static_cast<std::size_t>(o.num_commodities);
    if (o.randomize_costs)
        if (auto r = check_multipliers(edges, K, true, o.cost_a, o.cost_b, "cost_a", "cost_b"); !r) return r.error();
    if (o.randomize_caps)
        if (auto r = check_multipliers(edges, K, false, o.cap_a, o.cap_b, "cap_a", "cap_b"); !r) return r.error();
    return {};
}

// Sizes `costs` and `caps` to m x K and fills them from the draws' own generator, seeded here (the
// split seeds its own), running alongside() meanwhile; false when stopped.
template <class Alongside>
bool draw_into(const std::vector<models::Edge>& edges, const GenerationOptions& o, models::CommodityValues& costs,
               models::CommodityValues& caps, Alongside&& alongside) {
    const std::size_t K = static_cast<std::size_t>(o.num_commodities);
    rnd::StdRng rng = rnd::StdRng::seed_from_u64(o.seed);
    const std::size_t cells = detail::checked_cells(edges.size(), K);
    // Large enough to be worth huge pages: a fault per 2 MiB instead of per 4 KiB.
    reserve_filled(costs, cells);
    reserve_filled(caps, cells);
    costs.resize(cells);
    caps.resize(cells);
    int64_t* c = costs.data();
    int64_t* u = caps.data();
    if (o.randomize_costs) {
        if (o.randomize_caps) return fill_all_arcs<true, true>(edges, K, o, rng, c, u, alongside);
        return fill_all_arcs<true, false>(edges, K, o, rng, c, u, alongside);
    }
    if (o.randomize_caps) return fill_all_arcs<false, true>(edges, K, o, rng, c, u, alongside);
    return fill_all_arcs<false, false>(edges, K, o, rng, c, u, alongside);
}

// Closes a strided set of arcs for every commodity, then gives an arc that lost every commodity
// back to commodity (a mod K) with its own capacity.
//
// Commodity k closes the positions (k mod m + j*d) mod m, j < n. Both passes visit them j by j
// and then k by k: the K positions of one j are neighbours, so a pass walks the table once
// instead of once per commodity. The order does not change the result: closing writes zeros,
// and restoring writes an arc's own `up` into a row that closing left all zero, whichever visit
// finds it first (a later visit finds it restored, or restores the same value).
void exclude_arcs(const std::vector<models::Edge>& edges, std::size_t K, double p, models::CommodityValues& caps) {
    const std::size_t m = edges.size();
    const std::size_t n = std::max<std::size_t>(1, static_cast<std::size_t>(std::floor(static_cast<double>(m) * p)));
    const std::size_t d = (m + n - 1) / n;  // d <= m, so each step wraps at most once
    auto each_closed = [&](auto&& visit) {
        std::size_t base = 0;  // j*d mod m
        for (std::size_t j = 0; j < n; ++j) {
            std::size_t first = 0;  // k mod m
            for (std::size_t k = 0; k < K; ++k) {
                std::size_t pos = base + first;
                if (pos >= m) pos -= m;
                visit(pos, k);
                if (++first == m) first = 0;
            }
            base += d;
            if (base >= m) base -= m;
        }
    };
    each_closed([&](std::size_t pos, std::size_t k) { caps[pos * K + k] = 0; });
    // Only a closed arc can have lost every commodity: an arc left alone has capacities of at
    // least 1, or K copies of its own `up`, and restoring `up` = 0 changes nothing.
    each_closed([&](std::size_t pos, std::size_t) {
        int64_t* row = caps.data() + pos * K;
        if (std::all_of(row, row + K, [](int64_t c) { return c == 0; })) row[pos % K] = edges[pos].up;
    });
}

}  // namespace

Outcome<SupplyPartition> split_supply_and_demand(SplitMethod method, const SupplyMap& data, uint64_t num_commodities,
                                                 uint64_t seed, double concentration_param) {
    switch (method) {
        case SplitMethod::spread: return split_supply_and_demand_spread(data, num_commodities, seed);
        case SplitMethod::uniform: return split_supply_and_demand_uniform(data, num_commodities);
        case SplitMethod::beta_binomial:
            return split_supply_and_demand_beta_binomial(data, num_commodities, seed, concentration_param);
    }
    return Error::panic("Unknown partitioning method: " + std::to_string(models::number_of(method)));
}

Outcome<MultiCommodityData> generate_multi_commodity_data(const NetworkInstance& instance,
                                                          const GenerationOptions& options) {
    const GenerationOptions& o = options;
    const std::size_t K = static_cast<std::size_t>(o.num_commodities);
    const std::vector<models::Edge>& edges = instance.edges;
    const std::size_t m = edges.size();

    const std::optional<SplitMethod> method = split_method_from(o.method);
    if (!method) return Error::panic("Unknown partitioning method: " + std::to_string(o.method));
    if (Outcome<void> checked = check_draws(edges, o); !checked) return checked.error();

    Outcome<SupplyPartition> split =
        split_supply_and_demand(*method, instance.supplies, o.num_commodities, o.seed, o.concentration_param);
    if (!split) return split.error();

    MultiCommodityData out;
    out.supply_partition = std::move(split).value();
    record_options(out, instance, o);

    reserve_filled(out.arcs, m);
    auto copy_network = [&] {
        out.arcs.resize(m);
        for (std::size_t a = 0; a < m; ++a) {
            const models::Edge& e = edges[a];
            out.arcs[a] = models::ArcKey{e.tail, e.head, e.index, e.up};
        }
        out.pair_order = instance.pair_order;
    };
    const bool filled = draw_into(edges, o, out.costs, out.arc_capacities, copy_network);
    if (!filled) return Error::interrupted();

    // Without arcs or commodities there is nothing to close; a NaN fraction closes nothing, and
    // restoring then changes nothing either.
    const double p = o.cap_zero_param;
    if (o.cap_zero && p > 0.0 && p < 1.0 && m != 0 && K != 0) exclude_arcs(edges, K, p, out.arc_capacities);

    out.cap_zero = o.cap_zero;
    out.cap_zero_param = o.cap_zero_param;
    return out;
}

void record_options(MultiCommodityData& out, const NetworkInstance& instance, const GenerationOptions& options) {
    out.method = options.method;
    out.num_commodities = options.num_commodities;
    out.randomized_capacities = options.randomize_caps;
    out.randomized_weights = options.randomize_costs;
    out.seed = options.seed;
    out.parallel = instance.parallel();
}

Outcome<ArcDraws> draw_arc_values(const NetworkInstance& instance, const GenerationOptions& options) {
    if (Outcome<void> checked = check_draws(instance.edges, options); !checked) return checked.error();
    ArcDraws out;
    if (!draw_into(instance.edges, options, out.costs, out.capacities, [] {})) return Error::interrupted();
    return out;
}

}  // namespace pelmora::logic::generator
