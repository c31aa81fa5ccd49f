#include "tools/mnetgen_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "tools/node_numbers.hpp"
#include "tools/shape.hpp"
#include "io/buffered_file.hpp"
#include "utils/decimal_text.hpp"
#include "utils/os_error.hpp"

namespace pelmora::tools {

namespace {

using io::BufferedFile;
using utils::write_decimal_wide;

// One number and the tab or line feed after it.
constexpr std::size_t kNumberRoom = utils::kMaxIntText + 1;
constexpr std::size_t kSlack = BufferedFile::kSlack;

// One line of N values, tab-separated.
template <std::size_t N>
void put_row(BufferedFile& out, const int64_t (&values)[N]) {
    char* p = out.line_room(N * kNumberRoom + kSlack);
    for (int64_t v : values) {
        p = write_decimal_wide(p, v);
        *p++ = '\t';
    }
    p[-1] = '\n';
    out.end_line(p);
}

bool open_to_any(std::span<const int64_t> capacities) noexcept {
    return std::any_of(capacities.begin(), capacities.end(), [](int64_t c) { return c > 0; });
}

// One line per arc and commodity open to it: name, tail, head, commodity, cost, capacity and the
// arc's mutual-capacity pointer. The fields an arc's lines share are formatted once per arc.
void write_arcs(BufferedFile& out, const MnetgenColumns& c, std::span<const int64_t> ends) {
    const uint64_t k = c.num_commodities;
    constexpr std::size_t kLead = 3 * kNumberRoom + 1, kTrail = kNumberRoom + 1;
    constexpr std::size_t kLine = kLead + 3 * kNumberRoom + kTrail + kSlack;
    char lead[kLead + kSlack], trail[kTrail + kSlack];
    int64_t pointer = 0;
    for (std::size_t a = 0; a < c.tails.size(); ++a) {
        const int64_t* caps = c.capacities.data() + a * k;
        const int64_t* costs = c.costs.data() + a * k;
        if (!open_to_any({caps, k})) continue;
        char* p = lead;
        for (int64_t v : {int64_t(a) + 1, ends[a], ends[c.tails.size() + a]}) {
            p = write_decimal_wide(p, v);
            *p++ = '\t';
        }
        const std::size_t lead_size = std::size_t(p - lead);
        trail[0] = '\t';
        p = write_decimal_wide(trail + 1, ++pointer);
        *p++ = '\n';
        const std::size_t trail_size = std::size_t(p - trail);
        for (uint64_t j = 0; j < k; ++j) {
            if (caps[j] <= 0) continue;
            char* q = out.line_room(kLine);
            std::memcpy(q, lead, kLead);
            q = write_decimal_wide(q + lead_size, int64_t(j) + 1);
            *q++ = '\t';
            q = write_decimal_wide(q, costs[j]);
            *q++ = '\t';
            q = write_decimal_wide(q, caps[j]);
            std::memcpy(q, trail, kTrail);
            out.end_line(q + trail_size);
        }
        if ((a & 1023) == 0 && out.failed()) return;
    }
}

}  // namespace

Outcome<void> check_columns(const MnetgenColumns& c) {
    if (c.num_commodities > uint64_t(INT64_MAX))
        return Error::value("num_commodities " + std::to_string(c.num_commodities) +
                            " is beyond the signed 64-bit numbers of the files");
    const Outcome<DataShape> shape = checked_shape(c.node_ids.size(), c.tails.size(), c.num_commodities,
                                                   {{"heads", c.heads.size(), Per::Arc},
                                                    {"up", c.up.size(), Per::Arc},
                                                    {"costs", c.costs.size(), Per::ArcValues},
                                                    {"capacities", c.capacities.size(), Per::ArcValues},
                                                    {"supplies", c.supplies.size(), Per::NodeValues}});
    if (!shape) return shape.error();
    return check_ascending(c.node_ids);
}

Outcome<void> write_mnetgen(std::string_view prefix, const MnetgenColumns& c, bool write_map, OpenFailure& failure) {
    if (Outcome<void> columns = check_columns(c); !columns) return columns;
    if (prefix.find('\0') != std::string_view::npos) return Error::value(std::string(utils::kNulInPath));
    Outcome<std::vector<int64_t>> ends = number_ends(c.node_ids, c.tails, c.heads);
    if (!ends) return ends.error();
    const std::string base(prefix);
    const uint64_t k = c.num_commodities;
    const std::size_t n = c.node_ids.size(), m = c.tails.size();
    int64_t bundled = 0;
    for (std::size_t a = 0; a < m; ++a) bundled += open_to_any({c.capacities.data() + a * k, k});

    Outcome<void> done = write_text_file(base + ".nod", failure, [&](BufferedFile& out) {
        for (int64_t v : {int64_t(k), int64_t(n), int64_t(m), bundled}) put_row(out, {v});
    });
    if (done) {
        done = write_text_file(base + ".arc", failure, [&](BufferedFile& out) { write_arcs(out, c, ends.value()); });
    }
    if (done) {
        done = write_text_file(base + ".sup", failure, [&](BufferedFile& out) {
            for (std::size_t i = 0; i < n && !out.failed(); ++i)
                for (uint64_t j = 0; j < k; ++j)
                    if (int64_t s = c.supplies[i * k + j]; s != 0) put_row(out, {int64_t(i) + 1, int64_t(j) + 1, s});
        });
    }
    if (done) {
        done = write_text_file(base + ".mut", failure, [&](BufferedFile& out) {
            int64_t pointer = 0;
            for (std::size_t a = 0; a < m && !out.failed(); ++a)
                if (open_to_any({c.capacities.data() + a * k, k})) put_row(out, {++pointer, c.up[a]});
        });
    }
    if (done && write_map) {
        done = write_text_file(base + ".map", failure, [&](BufferedFile& out) {
            for (std::size_t i = 0; i < n && !out.failed(); ++i) put_row(out, {int64_t(i) + 1, c.node_ids[i]});
        });
    }
    return done;
}

}  // namespace pelmora::tools
