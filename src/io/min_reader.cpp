// The single-commodity DIMACS reader (parse_min).
#include <string>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/keep_last.hpp"
#include "io/arc_index.hpp"
#include "io/files.hpp"
#include "io/min_parts.hpp"

namespace pelmora::io {

namespace {

using models::Edge;
using models::NetworkInstance;
using models::NodeLine;

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

// The instance once every node and arc of a file's lines is registered: the parallel indices and
// the pair order, the node list in order of first appearance, and the supplies (the last line of
// a node counts).
// `append`, when given, is still adding arcs to the part's; it is waited for once they are needed.
Outcome<NetworkInstance> finish_network(MinPart& part, AppendEdges* append = nullptr) {
    NodeIndex& node_index = part.node_index;
    if (!node_index.finish()) return Error::io(std::string(NodeIndex::kExhausted));
    NetworkInstance result;
    result.num_nodes = part.num_nodes;
    result.num_arcs = part.num_arcs;
    ParallelArcs parallel = order_by_pair(node_index, result.pair_order);
    if (append) append->join();
    result.edges = std::move(part.edges);
    std::vector<Edge>& edges = result.edges;
    for (const auto& [position, index] : parallel.indices) edges[position].index = index;
    result.num_parallel_arc_pairs = parallel.pairs;
    node_index.release_ends();
    trim_slack(edges);
    result.nodes = std::move(node_index.nodes());
    trim_slack(result.nodes);
    result.supplies = build_supply_map(part.supply_lines);
    return result;
}

}  // namespace

// Large files are read by two readers at once, the second from the first line that starts past
// about half of the lines: each numbers its own nodes, and the second's numbering is appended to
// the first's afterwards, which gives every node the number one reader would have given it. The
// first failure in file order is the one reported, with the line number one reader would have
// named.
Outcome<NetworkInstance> parse_min(std::string_view path) {
    LineReader reader;
    if (!reader.open(path)) return Error::io(reader.error());
    MinPart head;
    const uint64_t split = min_split_point(reader);
    if (split == 0) {
        if (Outcome<void> read = read_min_part(reader, head); !read) return read.error();
        return finish_network(head);
    }
    reader.stop_at(split);
    MinTail tail(reader, split);
    Outcome<void> read = read_min_part(
        reader, head, [](void* tail, MinPart& part) { static_cast<MinTail*>(tail)->start(part); }, &tail);
    if (!read) return read.error();
    if (Outcome<void> rest = tail.finish(reader.line_number()); !rest) return rest.error();
    AppendEdges append(head, tail.part());
    append_min_records(head, tail.part());
    return finish_network(head, &append);
}

Outcome<NetworkInstance> network_from_lines(const models::NetworkLines& lines) {
    MinPart part;
    part.num_nodes = lines.num_nodes;
    part.num_arcs = lines.num_arcs;
    const std::size_t m = lines.arcs.size();
    NodeIndex& node_index = part.node_index;
    node_index.reserve_arcs(m, m);
    // As parse_min sizes the flat array, with the lines standing in for the file that holds them.
    const uint64_t identifiers = lines.nodes.size() + 2 * m + 1;
    node_index.enable_direct(direct_hint(part.num_nodes, identifiers * kMinNodeBytes));
    part.supply_lines.assign(lines.nodes.begin(), lines.nodes.end());
    for (const NodeLine& line : lines.nodes) node_index.add_node(line.node);
    std::vector<Edge>& edges = part.edges;
    edges.reserve(m);
    for (std::size_t a = 0; a < m; ++a) {
        const models::ArcLine& arc = lines.arcs[a];
        node_index.add_arc(arc.tail, arc.head);
        edges.push_back(Edge{arc.tail, arc.head, arc.low, arc.up, arc.cost, 0});
        if ((a & 0xFFFF) == 0 && interrupted()) return Error::interrupted();
    }
    return finish_network(part);
}

}  // namespace pelmora::io
