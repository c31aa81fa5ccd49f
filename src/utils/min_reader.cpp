// The single-commodity DIMACS reader (parse_min).
#include <string>
#include <utility>
#include <vector>

#include "utils/arc_index.hpp"
#include "utils/files.hpp"
#include "utils/line_reader.hpp"

namespace pelmora::utils {

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
    keep_last_per_node(lines);
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
    if (!reader.open(path)) return Error::io(reader.error());

    NetworkInstance result;
    NodeIndex node_index;
    std::vector<NodeLine> supply_lines;
    std::vector<Edge>& edges = result.edges;

    static constexpr std::string_view kArcFields[5] = {"tail", "head", "lower bound", "capacity", "cost"};
    static constexpr std::string_view kNodeFields[2] = {"node identifier", "supply"};
    static constexpr std::string_view kProblemFields[4] = {"", "problem type", "node count", "arc count"};

    Line line;
    for (;;) {
        LineReader::Next next = reader.next(line);
        if (next == LineReader::Next::end) break;
        if (next == LineReader::Next::failed) return Error::io(reader.error());

        Tokens tokens(line);
        std::string_view token;
        if (!tokens.next(token) || token[0] == 'c' || token.size() != 1) continue;
        const char kind = token[0];

        if (kind == 'a') {
            int64_t v[5];
            for (int k = 0; k < 5; ++k) {
                ParseStatus status = tokens.next_i64(v[k]);
                if (status != ParseStatus::ok) [[unlikely]]
                    return token_error(status, reader, "arc", kArcFields[k], k + 1);
            }
            node_index.add_arc(v[0], v[1]);
            edges.push_back(Edge{v[0], v[1], v[2], v[3], v[4], 0});
        } else if (kind == 'n') {
            int64_t v[2];
            for (int k = 0; k < 2; ++k) {
                ParseStatus status = tokens.next_i64(v[k]);
                if (status != ParseStatus::ok) return token_error(status, reader, "node", kNodeFields[k], k + 1);
            }
            supply_lines.push_back({v[0], v[1]});
            node_index.add_node(v[0]);
        } else if (kind == 'p') {
            int64_t v[4] = {0, 0, 0, 0};
            // The problem type (token 1) is not examined, only required.
            if (!tokens.next(token)) return token_error(ParseStatus::missing, reader, "problem", kProblemFields[1], 1);
            for (int k = 2; k < 4; ++k) {
                ParseStatus status = tokens.next_i64(v[k]);
                if (status != ParseStatus::ok) return token_error(status, reader, "problem", kProblemFields[k], k);
            }
            result.num_nodes = v[2];
            result.num_arcs = v[3];
            uint64_t arcs = bounded_hint(result.num_arcs, reader.file_size(), kMinArcLineBytes);
            reserve_filled(edges, arcs);
            node_index.reserve_arcs(arcs);
            if (result.num_nodes < INT64_MAX)
                node_index.enable_direct(bounded_hint(result.num_nodes + 1, reader.file_size(), kMinNodeBytes));
        }
    }

    if (!node_index.finish()) return Error::io(std::string(NodeIndex::kExhausted));
    result.num_parallel_arc_pairs = index_parallel_arcs(node_index, result.pair_order,
                                                        [&edges](uint64_t p, int64_t index) { edges[p].index = index; });
    node_index.release_ends();
    trim_slack(edges);
    result.nodes = std::move(node_index.nodes());
    trim_slack(result.nodes);
    result.supplies = build_supply_map(supply_lines);
    return result;
}

}  // namespace pelmora::utils
