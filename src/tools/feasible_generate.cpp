// The feasible mode's data set: supply shares per source node, the routes split among the
// commodities, capacities raised to the certified flow, closing among unused (arc, commodity)
// pairs, and the mutual capacities tightened toward the certified total.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "logic/generator/draws.hpp"
#include "random/random.hpp"
#include "tools/feasible.hpp"

namespace pelmora::tools {

namespace gen = logic::generator;

namespace {

// Shortest text that reads back as the same double.
std::string text(double x) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, x).ptr);
}

// `cost` lowered by the fraction `by` of its magnitude (a negative cost grows more negative),
// rounded toward the original and saturating at the int64 range.
int64_t cheaper(int64_t cost, double by) {
    const auto cut = static_cast<__int128>(std::floor(by * std::fabs(static_cast<long double>(cost))));
    const __int128 lowered = __int128(cost) - cut;
    return lowered < std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::min() : int64_t(lowered);
}

// The record the module's writer needs around the drawn costs and capacities; the arcs follow
// with the mutual capacities once they are tightened.
models::MultiCommodityData data_record(const models::NetworkInstance& instance, const gen::GenerationOptions& g,
                                       gen::ArcDraws&& drawn) {
    models::MultiCommodityData data;
    gen::record_options(data, instance, g);
    data.costs = std::move(drawn.costs);
    data.arc_capacities = std::move(drawn.capacities);
    data.pair_order = instance.pair_order;
    return data;
}

// Splits the routes among the commodities into the certificate (m x K) and the demand each
// commodity's paths bring to each node (n x K). A source's supply is laid out as its commodities'
// shares one after the other, and its paths take consecutive stretches of that line, so every
// commodity leaves the source exactly with its share.
Outcome<void> split_routes(const Routes& routes, const NodeIndex& nodes, const models::SupplyPartition& shares,
                           uint64_t K, Column& certificate, std::vector<int64_t>& demand) {
    std::size_t row = 0;
    int64_t source = -1;
    uint64_t k = 0, cycles = 0;
    int64_t share_left = 0;
    CellPoll poll;
    for (std::size_t r = 0; r < routes.size(); ++r) {
        const std::span<const uint32_t> arcs(routes.arcs.data() + routes.offsets[r],
                                             routes.offsets[r + 1] - routes.offsets[r]);
        if (poll.stop_after(arcs.size() + 1)) return Error::interrupted();
        if (routes.source[r] < 0) {  // a cycle kept whole: one commodity carries it, in turn
            const uint64_t c = cycles++ % K;
            for (uint32_t a : arcs) certificate[a * K + c] += routes.amount[r];
            continue;
        }
        if (routes.source[r] != source) {
            source = routes.source[r];
            while (shares.keys[row] != nodes.ids[std::size_t(source)]) ++row;
            k = 0;
            share_left = shares.row(row)[0];
        }
        const std::span<const int64_t> share = shares.row(row);
        int64_t* sink = demand.data() + std::size_t(routes.sink[r]) * K;
        for (int64_t amount = routes.amount[r]; amount > 0;) {
            while (share_left == 0) share_left = share[++k];
            const int64_t piece = std::min(amount, share_left);
            for (uint32_t a : arcs) certificate[a * K + k] += piece;
            sink[k] += piece;
            amount -= piece;
            share_left -= piece;
        }
    }
    return {};
}

// Closes `requested` of the (arc, commodity) pairs that carry no certified flow, or all of them
// when fewer exist, each set of that size equally likely (selection sampling, one pass).
uint64_t close_unused(const Column& certificate, uint64_t requested, rnd::StdRng& rng, Column& capacities) {
    uint64_t unused = 0;
    for (int64_t x : certificate) unused += (x == 0);
    uint64_t need = std::min(requested, unused);
    const uint64_t closed = need;
    for (std::size_t i = 0; i < certificate.size() && need != 0; ++i) {
        if (certificate[i] != 0) continue;
        if (rnd::random_range_usize(rng, unused) < need) {
            capacities[i] = 0;
            --need;
        }
        --unused;
    }
    return closed;
}

}  // namespace

Outcome<void> check_feasible_options(const FeasibleOptions& o) {
    const gen::GenerationOptions& g = o.generation;
    if (g.num_commodities < 1 || g.num_commodities > uint64_t(std::numeric_limits<int64_t>::max()))
        return Error::value("the number of commodities must be at least 1, got " +
                            std::to_string(int64_t(g.num_commodities)));
    if (!gen::split_method_from(g.method))
        return Error::value("method must be 0, 1 or 2, got " + std::to_string(g.method));
    if (!(g.concentration_param > 0.0) || !std::isfinite(g.concentration_param))
        return Error::value("the concentration must be a finite number above zero, got " + text(g.concentration_param));
    if (!(o.close >= 0.0 && o.close < 1.0))
        return Error::value("the closing fraction must lie in [0, 1), got " + text(o.close));
    if (!(o.tightness >= 0.0 && o.tightness <= 1.0))
        return Error::value("the tightness must lie in [0, 1], got " + text(o.tightness));
    if (!(o.congestion >= 0.0 && o.congestion <= 1.0))
        return Error::value("the congestion must lie in [0, 1], got " + text(o.congestion));
    return {};
}

Outcome<FeasibleResult> generate_feasible(const models::NetworkInstance& instance, std::span<const int64_t> flow,
                                          const FeasibleOptions& options) {
    if (Outcome<void> ok = check_feasible_options(options); !ok) return ok.error();
    gen::GenerationOptions g = options.generation;
    const uint64_t K = g.num_commodities;
    const std::size_t m = instance.edges.size();

    const NodeIndex nodes = index_nodes(instance);
    Outcome<Routes> routes = decompose(instance, nodes, flow);
    if (!routes) return routes.error();

    Outcome<gen::ArcDraws> drawn = gen::draw_arc_values(instance, g);
    if (!drawn) return drawn.error();
    FeasibleResult out;
    out.data = data_record(instance, g, std::move(drawn).value());

    models::SupplyMap sources;
    for (std::size_t i = 0; i < instance.supplies.size(); ++i)
        if (instance.supplies.totals[i] > 0) {
            sources.nodes.push_back(instance.supplies.nodes[i]);
            sources.totals.push_back(instance.supplies.totals[i]);
        }
    // Each supply node's supply cut as the module's split cuts it; each commodity is then balanced
    // by its routes rather than by the split's balancing.
    Outcome<models::SupplyPartition> shares = gen::cut_supplies(sources, g);
    if (!shares) return shares.error();

    out.certificate.assign(checked_cells(m, K), 0);
    std::vector<int64_t> demand(checked_cells(nodes.ids.size(), K), 0);
    if (Outcome<void> split = split_routes(routes.value(), nodes, shares.value(), K, out.certificate, demand); !split)
        return split.error();
    routes.value() = Routes{};  // spent: freed before the data set grows

    models::SupplyPartition partition;
    std::size_t share_row = 0;
    for (std::size_t i = 0; i < instance.supplies.size(); ++i) {
        const int64_t node = instance.supplies.nodes[i], total = instance.supplies.totals[i];
        if (total == 0) continue;
        partition.keys.push_back(node);
        if (total > 0) {
            const auto row = shares.value().row(share_row++);
            partition.values.insert(partition.values.end(), row.begin(), row.end());
        } else {
            const std::size_t v =
                std::size_t(std::lower_bound(nodes.ids.begin(), nodes.ids.end(), node) - nodes.ids.begin());
            for (uint64_t k = 0; k < K; ++k) partition.values.push_back(-demand[v * K + k]);
        }
        partition.offsets.push_back(partition.values.size());
    }
    out.data.supply_partition = std::move(partition);

    // Tightness lowers the mutual capacity of each used arc toward its certified total, congestion
    // makes hot arcs (see generate_feasible); capacities never fall below the certified flow, so
    // the certificate stays feasible.
    out.network = instance;
    rnd::StdRng hot_rng = rnd::StdRng::seed_from_u64(g.seed);
    hot_rng.discard_u32(uint64_t(1) << 49);  // far from the shares' and the closing's words
    // A used arc is hot when its draw falls below C/2 of 2^64: the hot arcs of a smaller C are
    // among those of a larger one.
    const auto hot_below = static_cast<uint64_t>(std::ldexp(options.congestion / 2, 64));
    out.data.arcs.reserve(m);
    __int128 cost = 0;
    for (std::size_t a = 0; a < m; ++a) {
        const int64_t* x = out.certificate.data() + a * K;
        int64_t total = 0;
        for (uint64_t k = 0; k < K; ++k) total += x[k];
        models::Edge& e = out.network.edges[a];
        if (total > 0 && options.tightness > 0.0) {
            const uint64_t room = uint64_t(e.up) - uint64_t(total);
            e.up -= int64_t(std::floor(static_cast<long double>(options.tightness) * room));
        }
        const bool hot = total > 0 && hot_below != 0 && hot_rng.next_u64() < hot_below;
        if (hot) {
            e.up = total;
            int64_t* c = out.data.costs.data() + a * K;
            for (uint64_t k = 0; k < K; ++k) c[k] = cheaper(c[k], options.congestion);
        }
        for (uint64_t k = 0; k < K; ++k) cost += __int128(out.data.costs[a * K + k]) * x[k];
        out.data.arcs.push_back(models::ArcKey{e.tail, e.head, e.index, e.up});
        int64_t* caps = out.data.arc_capacities.data() + a * K;
        for (uint64_t k = 0; k < K; ++k) {
            caps[k] = g.randomize_caps ? std::max(caps[k], x[k]) : e.up;
            if (hot) caps[k] = std::max(caps[k], instance.edges[a].up);
        }
        if ((a & 0xffff) == 0 && interrupted()) return Error::interrupted();
    }
    const bool negative = cost < 0;
    unsigned __int128 magnitude = negative ? -(unsigned __int128)cost : (unsigned __int128)cost;
    do {
        out.cost.insert(out.cost.begin(), char('0' + int(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) out.cost.insert(out.cost.begin(), '-');

    if (options.close > 0.0) {
        out.requested = uint64_t(std::floor(options.close * double(m * K)));
        rnd::StdRng rng = rnd::StdRng::seed_from_u64(g.seed);
        rng.discard_u32(uint64_t(1) << 48);  // far from the words the shares drew
        out.closed = close_unused(out.certificate, out.requested, rng, out.data.arc_capacities);
        out.data.cap_zero = true;
        out.data.cap_zero_param = options.close;
    }
    return out;
}

}  // namespace pelmora::tools
