// Per-node incoming and outgoing neighbour lists (adjacency) or arc lists (incidence).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "models/records.hpp"

namespace pelmora::utils {

using Pair = std::array<int64_t, 2>;
using Triple = std::array<int64_t, 3>;

// Node -> list of T, with a (possibly empty) list for every node.
template <class T>
struct IncomingOutgoing {
    models::RaggedMap<T> incoming;
    models::RaggedMap<T> outgoing;
};

IncomingOutgoing<int64_t> get_adjacency_mapping(const std::vector<int64_t>& nodes, const std::vector<Pair>& edges);
IncomingOutgoing<Triple> get_incidence_mapping(const std::vector<int64_t>& nodes, const std::vector<Triple>& edges);

}  // namespace pelmora::utils
