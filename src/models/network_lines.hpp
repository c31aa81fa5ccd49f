// A network as a ".min" file lists it: the problem line's counts, then its node lines and its arc
// lines, each in file order. A generator that builds a network in memory hands it over in this
// form, and the module makes of it exactly the instance it reads from a file with these lines
// (io::network_from_lines; the companion reaches it through the record interface).
#pragma once

#include <cstdint>
#include <vector>

namespace pelmora::models {

struct NodeLine {
    int64_t node;
    int64_t supply;
};

struct ArcLine {
    int64_t tail;
    int64_t head;
    int64_t low;
    int64_t up;
    int64_t cost;
};

struct NetworkLines {
    int64_t num_nodes = 0;  // the problem line's counts, as declared
    int64_t num_arcs = 0;
    std::vector<NodeLine> nodes;  // written before the arcs
    std::vector<ArcLine> arcs;
};

}  // namespace pelmora::models
