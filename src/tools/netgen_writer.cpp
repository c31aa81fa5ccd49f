// The generated network as the original prints it, through the module's buffered writer.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "tools/netgen.hpp"
#include "io/buffered_file.hpp"
#include "utils/decimal_text.hpp"
#include "utils/os_error.hpp"

namespace pelmora::tools {

namespace {

using io::BufferedFile;
using utils::write_decimal_wide;

constexpr std::size_t kNumberRoom = utils::kMaxIntText + 1;

// "<prefix>v1 v2 ... <suffix>\n" with each value followed by a blank but the last.
template <std::size_t N>
void put_line(BufferedFile& out, std::string_view prefix, const int64_t (&values)[N], std::string_view suffix = {}) {
    char* p = out.line_room(prefix.size() + N * kNumberRoom + suffix.size() + 1 + BufferedFile::kSlack);
    std::memcpy(p, prefix.data(), prefix.size());
    p += prefix.size();
    for (int64_t v : values) {
        p = write_decimal_wide(p, v);
        *p++ = ' ';
    }
    --p;
    p = std::copy(suffix.begin(), suffix.end(), p);
    *p++ = '\n';
    out.end_line(p);
}

const char* described(NetgenForm form) noexcept {
    switch (form) {
        case NetgenForm::Assignment: return "assignment problem";
        case NetgenForm::MaxFlow: return "maximum flow problem";
        case NetgenForm::MinCost: break;
    }
    return "minimum-cost flow problem";
}

void put_comments(BufferedFile& out, const NetgenParams& p, NetgenForm form, bool min_form) {
    const int64_t values[kNetgenParamCount] = {p.seed,   p.problem,  p.nodes,       p.sources, p.sinks,
                                               p.arcs,   p.min_cost, p.max_cost,    p.supply,  p.tsources,
                                               p.tsinks, p.hicost,   p.capacitated, p.min_cap, p.max_cap};
    out.put("c NETGEN network (Klingman, Napier and Stutz 1974), as the classic C program generates it\n");
    out.put(
        "c parameters: seed problem nodes sources sinks arcs mincost maxcost supply tsources tsinks"
        " hicost% capacitated% mincap maxcap\n");
    put_line(out, "c parameter line: ", values);
    out.put(std::string("c ") + described(form) +
            (min_form && form != NetgenForm::MinCost ? ", written as a "
                                                       "minimum-cost flow problem\n"
                                                     : "\n"));
}

void put_network(BufferedFile& out, const NetgenNetwork& net, NetgenForm form) {
    const int64_t n = int64_t(net.balance.size()), m = int64_t(net.arcs.size());
    const std::string problem = std::string("p ") + form_name(form) + " ";
    put_line(out, problem, {n, m});
    for (int64_t i = 0; i < n; ++i) {
        const int64_t b = net.balance[std::size_t(i)];
        if (b == 0) continue;
        switch (form) {
            case NetgenForm::Assignment:
                if (b > 0) put_line(out, "n ", {i + 1});
                break;
            case NetgenForm::MaxFlow: put_line(out, "n ", {i + 1}, b > 0 ? " s" : " t"); break;
            case NetgenForm::MinCost: put_line(out, "n ", {i + 1, b}); break;
        }
        if ((i & 4095) == 0 && out.failed()) return;
    }
    for (int64_t a = 0; a < m; ++a) {
        const NetgenArc& arc = net.arcs[std::size_t(a)];
        switch (form) {
            case NetgenForm::Assignment: put_line(out, "a ", {arc.tail, arc.head, arc.cost}); break;
            case NetgenForm::MaxFlow: put_line(out, "a ", {arc.tail, arc.head, arc.capacity}); break;
            case NetgenForm::MinCost: put_line(out, "a ", {arc.tail, arc.head, int64_t(0), arc.capacity, arc.cost});
        }
        if ((a & 4095) == 0 && out.failed()) return;
    }
}

}  // namespace

Outcome<NetgenSummary> write_netgen(std::string_view path, const NetgenParams& p, bool min_form) {
    if (path.find('\0') != std::string_view::npos) return Error::value(std::string(utils::kNulInPath));
    Outcome<NetgenNetwork> made = generate_netgen(p);
    if (!made) return made.error();
    NetgenNetwork& net = made.value();
    const NetgenForm form = min_form ? NetgenForm::MinCost : net.form;
    // The original writes no capacities for an assignment problem: one unit of supply per source,
    // and arcs only from sources to sinks, so capacity 1 states the same problem.
    if (form == NetgenForm::MinCost && net.form == NetgenForm::Assignment)
        for (NetgenArc& arc : net.arcs) arc.capacity = 1;

    const int fd = io::open_for_writing(std::string(path));
    if (fd < 0) {
        if (errno == EINTR) return Error::interrupted();
        return Error::io(utils::os_error_text(errno));
    }
    auto out = std::make_unique<BufferedFile>(fd);
    put_comments(*out, p, net.form, min_form);
    put_network(*out, net, form);
    out->finish();
    if (out->failed()) return Error::io(out->error());
    return NetgenSummary{net.form, int64_t(net.balance.size()), int64_t(net.arcs.size())};
}

}  // namespace pelmora::tools
