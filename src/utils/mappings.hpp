// Per-node incoming and outgoing neighbour lists (adjacency) or arc lists (incidence).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace pelmora::utils {

// Ordered map node -> list of T: ascending unique keys; the list of keys[i] is
// values[offsets[i] .. offsets[i + 1]).
template <class T>
struct GroupedLists {
    std::vector<int64_t> keys;
    std::vector<uint64_t> offsets;
    std::vector<T> values;
};

using Pair = std::array<int64_t, 2>;
using Triple = std::array<int64_t, 3>;

template <class T>
struct IncomingOutgoing {
    GroupedLists<T> incoming;
    GroupedLists<T> outgoing;
};

IncomingOutgoing<int64_t> get_adjacency_mapping(const std::vector<int64_t>& nodes, const std::vector<Pair>& edges);
IncomingOutgoing<Triple> get_incidence_mapping(const std::vector<int64_t>& nodes, const std::vector<Triple>& edges);

}  // namespace pelmora::utils
