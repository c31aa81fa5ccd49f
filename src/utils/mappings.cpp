#include "utils/mappings.hpp"

#include <algorithm>

namespace pelmora::utils {

namespace {

// Groups arc items under their key node: every node of `nodes` gets a (possibly empty) list, every
// arc appends item_of(arc) to the list of key_of(arc), in arc-list order. A counting sort over the
// sorted key set keeps the lists in one flat array.
template <class T, class Arc, class KeyOf, class ItemOf>
models::RaggedMap<T> group(const std::vector<int64_t>& nodes, const std::vector<Arc>& arcs, KeyOf key_of,
                           ItemOf item_of) {
    models::RaggedMap<T> out;
    out.keys.reserve(nodes.size() + arcs.size());
    out.keys.assign(nodes.begin(), nodes.end());
    for (const Arc& a : arcs) out.keys.push_back(key_of(a));
    std::sort(out.keys.begin(), out.keys.end());
    out.keys.erase(std::unique(out.keys.begin(), out.keys.end()), out.keys.end());
    out.keys.shrink_to_fit();

    std::vector<uint64_t> slot(arcs.size());
    out.offsets.assign(out.keys.size() + 1, 0);
    for (std::size_t i = 0; i < arcs.size(); ++i) {
        auto it = std::lower_bound(out.keys.begin(), out.keys.end(), key_of(arcs[i]));
        slot[i] = uint64_t(it - out.keys.begin());
        ++out.offsets[slot[i] + 1];
    }
    for (std::size_t i = 1; i < out.offsets.size(); ++i) out.offsets[i] += out.offsets[i - 1];
    std::vector<uint64_t> fill(out.offsets.begin(), out.offsets.end() - 1);
    out.values.resize(arcs.size());
    for (std::size_t i = 0; i < arcs.size(); ++i) out.values[fill[slot[i]]++] = item_of(arcs[i]);
    return out;
}

template <class T, class Arc, class ItemOfIn, class ItemOfOut>
IncomingOutgoing<T> mapping(const std::vector<int64_t>& nodes, const std::vector<Arc>& arcs, ItemOfIn in_item,
                            ItemOfOut out_item) {
    auto head = [](const Arc& a) { return a[1]; };
    auto tail = [](const Arc& a) { return a[0]; };
    return {group<T>(nodes, arcs, head, in_item), group<T>(nodes, arcs, tail, out_item)};
}

}  // namespace

IncomingOutgoing<int64_t> get_adjacency_mapping(const std::vector<int64_t>& nodes, const std::vector<Pair>& edges) {
    return mapping<int64_t>(
        nodes, edges, [](const Pair& a) { return a[0]; }, [](const Pair& a) { return a[1]; });
}

IncomingOutgoing<Triple> get_incidence_mapping(const std::vector<int64_t>& nodes, const std::vector<Triple>& edges) {
    auto whole = [](const Triple& a) { return a; };
    return mapping<Triple>(nodes, edges, whole, whole);
}

}  // namespace pelmora::utils
