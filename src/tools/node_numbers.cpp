#include "tools/node_numbers.hpp"

#include <string>

namespace pelmora::tools {

Outcome<std::vector<int64_t>> number_ends(std::span<const int64_t> node_ids, std::span<const int64_t> tails,
                                          std::span<const int64_t> heads) {
    const NodeNumbers number(node_ids);
    const std::size_t m = tails.size();
    std::vector<int64_t> ends(2 * m);
    for (std::size_t a = 0; a < m; ++a) {
        ends[a] = number(tails[a]);
        ends[m + a] = number(heads[a]);
        if (ends[a] == 0 || ends[m + a] == 0)
            return Error::value("arc " + std::to_string(a + 1) + " (" + std::to_string(tails[a]) + " -> " +
                                std::to_string(heads[a]) + ") has an end that is not among node_ids");
    }
    return ends;
}

}  // namespace pelmora::tools
