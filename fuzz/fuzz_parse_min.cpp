// libFuzzer target: the single-commodity reader (parse_min) against the reference reader
// (reference_reader.hpp). Every input must give the reference's result, or its error with the same
// message (a line too short for its fields may be worded by the implementer, as "line N: ...").
#include <string_view>

#include "common.hpp"
#include "io/files.hpp"

namespace {

void compare(const pelmora::models::NetworkInstance& got, const fuzz::RefFile& want) {
    FUZZ_CHECK(got.num_nodes == want.num_nodes, fuzz::describe(got.num_nodes, want.num_nodes));
    FUZZ_CHECK(got.num_arcs == want.num_arcs, fuzz::describe(got.num_arcs, want.num_arcs));
    FUZZ_CHECK(got.nodes == want.nodes, "nodes");
    FUZZ_CHECK(got.edges.size() == want.arcs.size(),
               fuzz::describe(int64_t(got.edges.size()), int64_t(want.arcs.size())));
    for (std::size_t p = 0; p < got.edges.size(); ++p) {
        const auto& e = got.edges[p];
        const auto& a = want.arcs[p];
        FUZZ_CHECK(e.tail == a.tail && e.head == a.head && e.low == a.low && e.up == a.up && e.cost == a.cost &&
                       e.index == a.index,
                   "edge " + std::to_string(p));
    }
    fuzz::check_supply_map(got.supplies, want.supplies);
    auto tail = [](const fuzz::RefArc& a) { return a.tail; };
    auto head = [](const fuzz::RefArc& a) { return a.head; };
    FUZZ_CHECK(got.pair_order == fuzz::pair_order_of(want.arcs, tail, head), "arc_indices order");
    FUZZ_CHECK(got.num_parallel_arc_pairs == fuzz::parallel_pairs_of(want.arcs, tail, head), "num_parallel_arc_pairs");
    FUZZ_CHECK(got.parallel() == (got.num_parallel_arc_pairs > 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static fuzz::MemFile file("parse_min");
    file.write(data, size);
    auto got = pelmora::io::parse_min(file.path());
    const fuzz::RefFile want = fuzz::reference_read({reinterpret_cast<const char*>(data), size}, false);
    fuzz::check_outcome(got, want, compare);
    return 0;
}
