// The single-commodity DIMACS reader (parse_min).
#include <string>
#include <utility>
#include <vector>

#include "core/keep_last.hpp"
#include "io/arc_index.hpp"
#include "io/files.hpp"
#include "io/record_lines.hpp"

namespace pelmora::io {

namespace {

using models::Edge;
using models::NetworkInstance;

// The shortest arc line, "a 1 2 3 4 5", bounds how many arcs a file of a given size can hold.
constexpr uint64_t kMinArcLineBytes = 11;
// A node identifier and the white space after it.
constexpr uint64_t kMinNodeBytes = 2;

struct NodeLine {
    int64_t node;
    int64_t supply;
};

models::SupplyMap build_supply_map(std::vector<NodeLine>& lines) {
    sort_keep_last(lines, [](const NodeLine& l) { return l.node; });
    models::SupplyMap map;
    map.nodes.reserve(lines.size());
    map.totals.reserve(lines.size());
    for (const NodeLine& line : lines) {
        map.nodes.push_back(line.node);
        map.totals.push_back(line.supply);
    }
    return map;
}

}  // namespace

Outcome<NetworkInstance> parse_min(std::string_view path) {
    LineReader reader;
    NetworkInstance result;
    NodeIndex node_index;
    std::vector<NodeLine> supply_lines;
    std::vector<Edge>& edges = result.edges;
    uint64_t declared_arcs = 0;

    static constexpr std::string_view kArcFields[5] = {"tail", "head", "lower bound", "capacity", "cost"};
    static constexpr std::string_view kNodeFields[2] = {"node identifier", "supply"};
    static constexpr std::string_view kProblemFields[4] = {"", "problem type", "node count", "arc count"};

    Outcome<void> read = read_records(reader, path, [&](char kind, Tokens& tokens) -> Outcome<void> {
        if (kind == 'a') {
            int64_t v[5];
            for (int k = 0; k < 5; ++k) {
                utils::ParseStatus status = tokens.next_i64(v[k]);
                if (status != utils::ParseStatus::ok) [[unlikely]]
                    return token_error(status, reader.line_number(), "arc", kArcFields[k], k + 1);
            }
            node_index.add_arc(v[0], v[1]);
            grow_filled(edges, 1, declared_arcs);
            edges.push_back(Edge{v[0], v[1], v[2], v[3], v[4], 0});
        } else if (kind == 'n') {
            int64_t v[2];
            for (int k = 0; k < 2; ++k) {
                utils::ParseStatus status = tokens.next_i64(v[k]);
                if (status != utils::ParseStatus::ok)
                    return token_error(status, reader.line_number(), "node", kNodeFields[k], k + 1);
            }
            supply_lines.push_back({v[0], v[1]});
            node_index.add_node(v[0]);
        } else if (kind == 'p') {
            int64_t v[4] = {0, 0, 0, 0};
            std::string_view type;  // not examined, only required
            if (!tokens.next(type))
                return token_error(utils::ParseStatus::missing, reader.line_number(), "problem", kProblemFields[1], 1);
            for (int k = 2; k < 4; ++k) {
                utils::ParseStatus status = tokens.next_i64(v[k]);
                if (status != utils::ParseStatus::ok)
                    return token_error(status, reader.line_number(), "problem", kProblemFields[k], k);
            }
            result.num_nodes = v[2];
            result.num_arcs = v[3];
            uint64_t arcs = bounded_hint(result.num_arcs, reader.file_size(), kMinArcLineBytes,
                                         sizeof(Edge) + 2 * sizeof(uint32_t));
            reserve_filled(edges, arcs);
            declared_arcs = result.num_arcs > 0 ? uint64_t(result.num_arcs) : 0;
            node_index.reserve_arcs(arcs, declared_arcs);
            if (result.num_nodes < INT64_MAX)
                node_index.enable_direct(
                    bounded_hint(result.num_nodes + 1, reader.file_size(), kMinNodeBytes, sizeof(uint32_t)));
        }
        return {};
    });
    if (!read) return read.error();

    if (!node_index.finish()) return Error::io(std::string(NodeIndex::kExhausted));
    result.num_parallel_arc_pairs = index_parallel_arcs(
        node_index, result.pair_order, [&edges](uint64_t p, int64_t index) { edges[p].index = index; });
    node_index.release_ends();
    trim_slack(edges);
    result.nodes = std::move(node_index.nodes());
    trim_slack(result.nodes);
    result.supplies = build_supply_map(supply_lines);
    return result;
}

}  // namespace pelmora::io
