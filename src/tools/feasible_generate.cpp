// The feasible mode's data set: supply shares per source node, the routes split among the
// commodities, capacities raised to the certified flow, closing among unused (arc, commodity)
// pairs, and the mutual capacities tightened toward the certified total.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "core/interrupt.hpp"
#include "logic/generator/internal.hpp"
#include "tools/feasible.hpp"

namespace pelmora::tools {

namespace gen = logic::generator;

Outcome<models::SupplyPartition> source_shares(const models::SupplyMap& sources, const gen::GenerationOptions& o) {
    const uint64_t K = o.num_commodities;
    rnd::StdRng rng = rnd::StdRng::seed_from_u64(o.seed);
    const std::optional<gen::SplitMethod> method = gen::split_method_from(o.method);
    if (method == gen::SplitMethod::spread) return gen::detail::spread_before_balancing(sources, K, rng);
    if (method == gen::SplitMethod::beta_binomial)
        return gen::detail::beta_binomial_before_balancing(sources, K, rng, o.concentration_param);
    // Uniform: equal quotients, the remainders handed out by one cursor that carries on from node to
    // node, as the module's uniform split hands them out.
    models::SupplyPartition shares;
    shares.values.reserve(gen::detail::checked_cells(sources.size(), K));
    uint64_t cursor = 0;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const int64_t total = sources.totals[i];
        const std::size_t base = shares.values.size();
        shares.values.resize(base + K, total / int64_t(K));
        for (int64_t left = total % int64_t(K); left > 0; --left) {
            ++shares.values[base + cursor];
            if (++cursor == K) cursor = 0;
        }
        shares.keys.push_back(sources.nodes[i]);
        shares.offsets.push_back(shares.values.size());
    }
    return shares;
}

namespace {

std::string text(double x) { return gen::detail::format_double(x); }

Outcome<void> check_options(const FeasibleOptions& o) {
    const gen::GenerationOptions& g = o.generation;
    if (g.num_commodities < 1)
        return Error::value("num_commodities must be at least 1, got " + std::to_string(g.num_commodities));
    if (!gen::split_method_from(g.method))
        return Error::value("method must be 0, 1 or 2, got " + std::to_string(g.method));
    if (!(g.concentration_param > 0.0) || !std::isfinite(g.concentration_param))
        return Error::value("concentration must be a finite number above zero, got " + text(g.concentration_param));
    if (!(o.close >= 0.0 && o.close < 1.0)) return Error::value("close must lie in [0, 1), got " + text(o.close));
    if (!(o.tightness >= 0.0 && o.tightness <= 1.0))
        return Error::value("tightness must lie in [0, 1], got " + text(o.tightness));
    return {};
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
    gen::detail::RowPoll poll;
    for (std::size_t r = 0; r < routes.size(); ++r) {
        const std::span<const uint32_t> arcs(routes.arcs.data() + routes.offsets[r],
                                             routes.offsets[r + 1] - routes.offsets[r]);
        if (poll.stop_after(arcs.size() + 1)) return Error::interrupted();
        if (routes.source[r] < 0) {  // a cycle kept for a lower bound: one commodity carries it, in turn
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

Outcome<FeasibleResult> generate_feasible(const models::NetworkInstance& instance, std::span<const int64_t> flow,
                                          const FeasibleOptions& options) {
    if (Outcome<void> ok = check_options(options); !ok) return ok.error();
    gen::GenerationOptions g = options.generation;
    const uint64_t K = g.num_commodities;
    const std::size_t m = instance.edges.size();

    const NodeIndex nodes = index_nodes(instance);
    Outcome<Routes> routes = decompose(instance, nodes, flow);
    if (!routes) return routes.error();

    // Costs and capacities exactly as the module draws them for this seed; its split is not used.
    g.method = models::number_of(gen::SplitMethod::uniform);
    g.cap_zero = false;
    Outcome<models::MultiCommodityData> drawn = gen::generate_multi_commodity_data(instance, g);
    if (!drawn) return drawn.error();
    FeasibleResult out;
    out.data = std::move(drawn).value();

    models::SupplyMap sources;
    for (std::size_t i = 0; i < instance.supplies.size(); ++i)
        if (instance.supplies.totals[i] > 0) {
            sources.nodes.push_back(instance.supplies.nodes[i]);
            sources.totals.push_back(instance.supplies.totals[i]);
        }
    Outcome<models::SupplyPartition> shares = source_shares(sources, options.generation);
    if (!shares) return shares.error();

    out.certificate.assign(gen::detail::checked_cells(m, K), 0);
    std::vector<int64_t> demand(gen::detail::checked_cells(nodes.ids.size(), K), 0);
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

    // Tightness lowers the mutual capacity of each used arc toward its certified total; capacities
    // never fall below the certified flow, so the certificate stays feasible.
    out.network = instance;
    __int128 cost = 0;
    for (std::size_t a = 0; a < m; ++a) {
        const int64_t* x = out.certificate.data() + a * K;
        int64_t total = 0;
        for (uint64_t k = 0; k < K; ++k) {
            total += x[k];
            cost += __int128(out.data.costs[a * K + k]) * x[k];
        }
        models::Edge& e = out.network.edges[a];
        if (total > 0 && options.tightness > 0.0) {
            const uint64_t room = uint64_t(e.up) - uint64_t(total);
            e.up -= int64_t(std::floor(static_cast<long double>(options.tightness) * room));
        }
        out.data.arcs[a].up = e.up;
        int64_t* caps = out.data.arc_capacities.data() + a * K;
        for (uint64_t k = 0; k < K; ++k) caps[k] = g.randomize_caps ? std::max(caps[k], x[k]) : e.up;
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
    out.data.method = options.generation.method;
    return out;
}

}  // namespace pelmora::tools
