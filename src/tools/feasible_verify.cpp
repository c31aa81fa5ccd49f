// One pass over a certificate: per-commodity bounds and the mutual bounds arc by arc, each node's
// balance per commodity summed on the way, then the balances against the supplies.
#include <algorithm>
#include <string>
#include <vector>

#include "core/interrupt.hpp"
#include "tools/feasible.hpp"
#include "tools/shape.hpp"

namespace pelmora::tools {

namespace {

std::string arc_text(const CertificateColumns& c, std::size_t a) {
    return "arc " + std::to_string(a) + " (" + std::to_string(c.tails[a]) + " -> " + std::to_string(c.heads[a]) + ")";
}

}  // namespace

Outcome<void> check_columns(const CertificateColumns& c) {
    const Outcome<DataShape> shape = checked_shape(c.node_ids.size(), c.tails.size(), c.num_commodities,
                                                   {{"heads", c.heads.size(), Per::Arc},
                                                    {"low", c.low.size(), Per::Arc},
                                                    {"up", c.up.size(), Per::Arc},
                                                    {"capacities", c.capacities.size(), Per::ArcValues},
                                                    {"supplies", c.supplies.size(), Per::NodeValues},
                                                    {"certificate", c.certificate.size(), Per::ArcValues}});
    if (!shape) return shape.error();
    return check_ascending(c.node_ids);
}

std::string verify_certificate(const CertificateColumns& c) {
    const uint64_t K = c.num_commodities;
    const std::size_t m = c.tails.size(), n = c.node_ids.size();
    std::vector<__int128> balance(n * K, 0);
    auto position = [&](int64_t id) -> std::size_t {
        const auto at = std::lower_bound(c.node_ids.begin(), c.node_ids.end(), id);
        return (at == c.node_ids.end() || *at != id) ? n : std::size_t(at - c.node_ids.begin());
    };
    for (std::size_t a = 0; a < m; ++a) {
        if ((a & 0xffff) == 0 && interrupted()) return "interrupted";
        const std::size_t t = position(c.tails[a]), h = position(c.heads[a]);
        if (t == n || h == n) return "nodes: " + arc_text(c, a) + " names a node the data set does not hold";
        const int64_t* x = c.certificate.data() + a * K;
        const int64_t* cap = c.capacities.data() + a * K;
        __int128 total = 0;
        for (uint64_t k = 0; k < K; ++k) {
            if (x[k] < 0 || x[k] > cap[k])
                return "commodity bound: commodity " + std::to_string(k) + " on " + arc_text(c, a) + " carries " +
                       std::to_string(x[k]) + ", outside [0, " + std::to_string(cap[k]) + "]";
            total += x[k];
            balance[t * K + k] += x[k];
            balance[h * K + k] -= x[k];
        }
        if (total < c.low[a] || total > c.up[a])
            return "mutual bound: " + arc_text(c, a) + " carries " + std::to_string(int64_t(total)) +
                   " in all, outside [" + std::to_string(c.low[a]) + ", " + std::to_string(c.up[a]) + "]";
    }
    for (std::size_t v = 0; v < n; ++v)
        for (uint64_t k = 0; k < K; ++k)
            if (balance[v * K + k] != c.supplies[v * K + k])
                return "conservation: commodity " + std::to_string(k) + " at node " + std::to_string(c.node_ids[v]) +
                       " sends " + std::to_string(int64_t(balance[v * K + k])) + " net, its supply is " +
                       std::to_string(c.supplies[v * K + k]);
    return {};
}

}  // namespace pelmora::tools
