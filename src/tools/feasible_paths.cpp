// Flow decomposition: paths from each supply node's own supply to the demand nodes, with the cycles
// met on the way cancelled (or kept where they carry a lower bound). The walk keeps a current arc
// per node and only ever advances it, and a path or cycle taken out is popped back to where the
// walk can go on, so the work is that of the routes written plus one pass over the arcs.
#include <algorithm>
#include <limits>
#include <string>

#include "core/interrupt.hpp"
#include "tools/feasible.hpp"

namespace pelmora::tools {

NodeIndex index_nodes(const models::NetworkInstance& instance) {
    NodeIndex index;
    index.ids = instance.nodes;
    for (const models::Edge& e : instance.edges) {
        index.ids.push_back(e.tail);
        index.ids.push_back(e.head);
    }
    for (int64_t id : instance.supplies.nodes) index.ids.push_back(id);
    std::sort(index.ids.begin(), index.ids.end());
    index.ids.erase(std::unique(index.ids.begin(), index.ids.end()), index.ids.end());
    index.ids.shrink_to_fit();
    auto position = [&](int64_t id) {
        return static_cast<uint32_t>(std::lower_bound(index.ids.begin(), index.ids.end(), id) - index.ids.begin());
    };
    index.tail.reserve(instance.edges.size());
    index.head.reserve(instance.edges.size());
    for (const models::Edge& e : instance.edges) {
        index.tail.push_back(position(e.tail));
        index.head.push_back(position(e.head));
    }
    return index;
}

namespace {

constexpr uint32_t kOffPath = std::numeric_limits<uint32_t>::max();

struct Walk {
    const NodeIndex& nodes;
    std::span<const models::Edge> edges;
    std::vector<int64_t> left;    // flow of each arc not yet taken into a route or cancelled
    std::vector<int64_t> slack;   // how much of it may still be cancelled: flow - low, less what was
    std::vector<uint64_t> first;  // out-arcs of node i with flow: out[first[i] .. first[i + 1])
    std::vector<uint32_t> out;
    std::vector<uint64_t> current;  // the next candidate in out for each node
    std::vector<uint32_t> depth;    // position on the walk's stack, or kOffPath
    std::vector<uint32_t> stack_nodes, stack_arcs;
    Routes routes;
    uint64_t steps = 0;

    bool poll() { return (++steps & 0xffff) == 0 && interrupted(); }

    // The next arc out of v with flow left, or kOffPath.
    uint32_t next_arc(uint32_t v) {
        while (current[v] < first[v + 1] && left[out[current[v]]] == 0) ++current[v];
        return current[v] < first[v + 1] ? out[current[v]] : kOffPath;
    }

    void push(uint32_t node, uint32_t arc) {
        depth[node] = static_cast<uint32_t>(stack_nodes.size());
        stack_nodes.push_back(node);
        if (arc != kOffPath) stack_arcs.push_back(arc);
    }
    // Pops the stack back to `size` nodes.
    void pop_to(std::size_t size) {
        while (stack_nodes.size() > size) {
            depth[stack_nodes.back()] = kOffPath;
            stack_nodes.pop_back();
        }
        stack_arcs.resize(size == 0 ? 0 : size - 1);
    }

    void record(std::span<const uint32_t> arcs, int64_t amount, int64_t source, int64_t sink) {
        routes.arcs.insert(routes.arcs.end(), arcs.begin(), arcs.end());
        routes.offsets.push_back(routes.arcs.size());
        routes.amount.push_back(amount);
        routes.source.push_back(source);
        routes.sink.push_back(sink);
        for (uint32_t a : arcs) left[a] -= amount;
    }

    // The walk closed a cycle with `arc` back to the stacked node `to`: cancel it as far as no arc
    // falls below its lower bound, keep the rest as a route, and pop back to `to`. A cycle of
    // negative cost is kept whole: cancelling it would raise the cost (an optimal flow has no
    // cycle of positive cost, so only cycles of cost zero are cancelled there).
    void close_cycle(uint32_t arc, uint32_t to) {
        const std::size_t from = depth[to];
        stack_arcs.push_back(arc);
        std::span<const uint32_t> cycle(stack_arcs.data() + from, stack_arcs.size() - from);
        int64_t cancel = std::numeric_limits<int64_t>::max(), keep = cancel;
        __int128 cost = 0;
        for (uint32_t a : cycle) {
            cancel = std::min({cancel, left[a], slack[a]});
            keep = std::min(keep, left[a]);
            cost += edges[a].cost;
        }
        if (cancel > 0 && cost >= 0) {
            for (uint32_t a : cycle) {
                left[a] -= cancel;
                slack[a] -= cancel;
            }
        } else {
            record(cycle, keep, -1, -1);
        }
        pop_to(from + 1);
    }
};

std::string node_text(const NodeIndex& nodes, uint32_t v) { return "node " + std::to_string(nodes.ids[v]); }

}  // namespace

Outcome<Routes> decompose(const models::NetworkInstance& instance, const NodeIndex& nodes,
                          std::span<const int64_t> flow) {
    const std::size_t m = instance.edges.size(), n = nodes.ids.size();
    if (m >= kOffPath) return Error::value("the decomposition takes fewer than 4294967295 arcs");
    if (flow.size() != m)
        return Error::value("the flow holds " + std::to_string(flow.size()) + " values for " + std::to_string(m) +
                            " arcs");
    Walk w{nodes,
           instance.edges,
           {},
           {},
           std::vector<uint64_t>(n + 1, 0),
           {},
           {},
           std::vector<uint32_t>(n, kOffPath),
           {},
           {},
           {},
           0};
    w.left.assign(flow.begin(), flow.end());
    w.slack.resize(m);
    // Remaining supply (positive) and demand (negative) of each node.
    std::vector<int64_t> balance(n, 0);
    for (std::size_t i = 0; i < instance.supplies.size(); ++i) {
        const auto at = std::lower_bound(nodes.ids.begin(), nodes.ids.end(), instance.supplies.nodes[i]);
        balance[std::size_t(at - nodes.ids.begin())] = instance.supplies.totals[i];
    }
    std::vector<int64_t> net = balance;  // outflow - inflow must end equal to the supplies
    for (std::size_t a = 0; a < m; ++a) {
        const models::Edge& e = instance.edges[a];
        if (flow[a] < e.low || flow[a] > e.up || flow[a] < 0)
            return Error::value("the flow on arc " + std::to_string(a) + " is " + std::to_string(flow[a]) +
                                ", outside its bounds [" + std::to_string(e.low) + ", " + std::to_string(e.up) + "]");
        w.slack[a] = flow[a] - std::max<int64_t>(e.low, 0);
        if (flow[a] > 0) ++w.first[nodes.tail[a] + 1];
        net[nodes.tail[a]] -= flow[a];
        net[nodes.head[a]] += flow[a];
    }
    for (std::size_t v = 0; v < n; ++v)
        if (net[v] != 0)
            return Error::value("the flow does not conserve the supply at " + node_text(nodes, uint32_t(v)) +
                                " (off by " + std::to_string(-net[v]) + ")");
    for (std::size_t v = 0; v < n; ++v) w.first[v + 1] += w.first[v];
    w.out.resize(w.first[n]);
    w.current.assign(w.first.begin(), w.first.end() - 1);
    for (std::size_t a = 0; a < m; ++a)
        if (flow[a] > 0) w.out[w.current[nodes.tail[a]]++] = uint32_t(a);
    w.current.assign(w.first.begin(), w.first.end() - 1);

    // Paths: each supply node, in ascending id order, sends its own supply to the first nodes with
    // demand left that its walk reaches.
    for (uint32_t s = 0; s < n; ++s) {
        while (balance[s] > 0) {
            w.push(s, kOffPath);
            uint32_t v = s;
            while (v == s || balance[v] >= 0) {
                if (w.poll()) return Error::interrupted();
                const uint32_t a = w.next_arc(v);
                if (a == kOffPath)
                    return Error::value("the flow leaves no way on from " + node_text(nodes, v) + " to a demand node");
                const uint32_t to = nodes.head[a];
                if (w.depth[to] != kOffPath) {
                    w.close_cycle(a, to);
                    v = to;
                    continue;
                }
                w.push(to, a);
                v = to;
            }
            int64_t amount = std::min(balance[s], -balance[v]);
            for (uint32_t a : w.stack_arcs) amount = std::min(amount, w.left[a]);
            w.record(w.stack_arcs, amount, s, v);
            balance[s] -= amount;
            balance[v] += amount;
            w.pop_to(0);
        }
    }
    // What is left circulates: walk it until every node's arcs are spent.
    for (uint32_t u = 0; u < n; ++u) {
        w.push(u, kOffPath);
        uint32_t v = u;
        for (;;) {
            if (w.poll()) return Error::interrupted();
            const uint32_t a = w.next_arc(v);
            if (a == kOffPath) {
                if (v != u) return Error::value("the flow does not conserve the supply at " + node_text(nodes, v));
                break;
            }
            const uint32_t to = nodes.head[a];
            if (w.depth[to] != kOffPath) {
                w.close_cycle(a, to);
            } else {
                w.push(to, a);
            }
            v = w.stack_nodes.back();
        }
        w.pop_to(0);
    }
    return std::move(w.routes);
}

}  // namespace pelmora::tools
