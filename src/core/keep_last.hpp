// One entry per key from a list in arrival order: sorted by key, the entry that arrived last
// winning among equal keys (the rule of node lines in a file and of items in a dict).
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace pelmora {

template <class Entry, class KeyOf>
void sort_keep_last(std::vector<Entry>& entries, KeyOf key_of) {
    bool ascending = true;
    for (std::size_t i = 1; i < entries.size() && ascending; ++i)
        ascending = key_of(entries[i - 1]) < key_of(entries[i]);
    if (ascending) return;
    std::stable_sort(entries.begin(), entries.end(),
                     [&](const Entry& a, const Entry& b) { return key_of(a) < key_of(b); });
    std::size_t w = 0;
    for (std::size_t r = 0; r < entries.size(); ++r) {
        if (r + 1 < entries.size() && key_of(entries[r + 1]) == key_of(entries[r])) continue;
        // A self-move would empty a vector (libstdc++), losing the row of every distinct key.
        if (w != r) entries[w] = std::move(entries[r]);
        ++w;
    }
    entries.resize(w);
}

}  // namespace pelmora
