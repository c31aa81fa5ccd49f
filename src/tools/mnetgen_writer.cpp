#include "tools/mnetgen_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

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

// The number of a node id: one more than the count of node ids below it, as a search of the
// ascending ids finds it, or 0 for an id that is not among them. When the ids fill a good part of
// their range, a table over the range answers without a search.
class NodeNumbers {
public:
    explicit NodeNumbers(std::span<const int64_t> ids) : ids_(ids) {
        if (ids.empty()) return;
        lowest_ = ids.front();
        const uint64_t range = uint64_t(ids.back()) - uint64_t(lowest_);
        if (range >= 4 * uint64_t(ids.size()) + 4096) return;
        table_.resize(range + 1);
        std::size_t below = 0;
        for (uint64_t offset = 0; offset <= range; ++offset) {
            while (below < ids.size() && ids[below] < lowest_ + int64_t(offset)) ++below;
            table_[offset] = int64_t(below) + 1;
        }
    }
    int64_t operator()(int64_t id) const noexcept {
        std::size_t at;
        if (table_.empty()) {
            at = std::size_t(std::lower_bound(ids_.begin(), ids_.end(), id) - ids_.begin());
        } else {
            const uint64_t offset = uint64_t(id) - uint64_t(lowest_);
            if (id < lowest_ || offset >= table_.size()) return 0;
            at = std::size_t(table_[offset] - 1);
        }
        return at < ids_.size() && ids_[at] == id ? int64_t(at) + 1 : 0;
    }

private:
    std::span<const int64_t> ids_;
    int64_t lowest_ = 0;
    std::vector<int64_t> table_;
};

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

// Creates `path` and writes it through body(file).
template <class Body>
Outcome<void> write_file(const std::string& path, OpenFailure& failure, Body&& body) {
    const int fd = io::open_for_writing(path);
    if (fd < 0) {
        if (errno == EINTR) return Error::interrupted();
        failure = {errno, path};
        return Error::io(utils::os_error_text(failure.errnum));
    }
    auto out = std::make_unique<BufferedFile>(fd);
    body(*out);
    out->finish();
    if (out->failed()) return Error::io(out->error());
    return {};
}

std::string count_text(std::size_t n, const char* what) { return std::to_string(n) + " " + what; }

}  // namespace

Outcome<void> check_columns(const MnetgenColumns& c) {
    if (c.num_commodities > uint64_t(INT64_MAX))
        return Error::value("num_commodities " + std::to_string(c.num_commodities) +
                            " is beyond the signed 64-bit numbers of the files");
    const std::optional<DataShape> shape = data_shape(c.node_ids.size(), c.tails.size(), c.num_commodities);
    if (!shape)
        return Error::value("num_commodities " + std::to_string(c.num_commodities) + " with " +
                            count_text(c.node_ids.size(), "node ids") + " and " + count_text(c.tails.size(), "arcs") +
                            " makes more values than a buffer can hold");
    auto wrong = [](const char* name, std::size_t got, std::size_t want, const char* per) {
        return Error::value(std::string(name) + " holds " + std::to_string(got) + " values, expected " +
                            std::to_string(want) + " (" + per + ")");
    };
    const std::size_t m = shape->arcs;
    if (c.heads.size() != m) return wrong("heads", c.heads.size(), m, "one per arc, as tails");
    if (c.up.size() != m) return wrong("up", c.up.size(), m, "one per arc, as tails");
    if (c.costs.size() != shape->arc_values) return wrong("costs", c.costs.size(), shape->arc_values, "K per arc");
    if (c.capacities.size() != shape->arc_values)
        return wrong("capacities", c.capacities.size(), shape->arc_values, "K per arc");
    if (c.supplies.size() != shape->node_values)
        return wrong("supplies", c.supplies.size(), shape->node_values, "K per node id");
    const auto unordered = std::adjacent_find(c.node_ids.begin(), c.node_ids.end(), std::greater_equal<int64_t>());
    if (unordered != c.node_ids.end())
        return Error::value("node_ids must ascend strictly: " + std::to_string(unordered[1]) + " follows " +
                            std::to_string(unordered[0]));
    return {};
}

namespace {

// Each arc's tail and head as node numbers, tails first; Value error for an end that is not a node.
Outcome<std::vector<int64_t>> number_ends(const MnetgenColumns& c) {
    const NodeNumbers number(c.node_ids);
    const std::size_t m = c.tails.size();
    std::vector<int64_t> ends(2 * m);
    for (std::size_t a = 0; a < m; ++a) {
        ends[a] = number(c.tails[a]);
        ends[m + a] = number(c.heads[a]);
        if (ends[a] == 0 || ends[m + a] == 0)
            return Error::value("arc " + std::to_string(a + 1) + " (" + std::to_string(c.tails[a]) + " -> " +
                                std::to_string(c.heads[a]) + ") has an end that is not among node_ids");
    }
    return ends;
}

}  // namespace

Outcome<void> write_mnetgen(std::string_view prefix, const MnetgenColumns& c, bool write_map, OpenFailure& failure) {
    if (Outcome<void> columns = check_columns(c); !columns) return columns;
    if (prefix.find('\0') != std::string_view::npos) return Error::value(std::string(utils::kNulInPath));
    Outcome<std::vector<int64_t>> ends = number_ends(c);
    if (!ends) return ends.error();
    const std::string base(prefix);
    const uint64_t k = c.num_commodities;
    const std::size_t n = c.node_ids.size(), m = c.tails.size();
    int64_t bundled = 0;
    for (std::size_t a = 0; a < m; ++a) bundled += open_to_any({c.capacities.data() + a * k, k});

    Outcome<void> done = write_file(base + ".nod", failure, [&](BufferedFile& out) {
        for (int64_t v : {int64_t(k), int64_t(n), int64_t(m), bundled}) put_row(out, {v});
    });
    if (done) {
        done = write_file(base + ".arc", failure, [&](BufferedFile& out) { write_arcs(out, c, ends.value()); });
    }
    if (done) {
        done = write_file(base + ".sup", failure, [&](BufferedFile& out) {
            for (std::size_t i = 0; i < n && !out.failed(); ++i)
                for (uint64_t j = 0; j < k; ++j)
                    if (int64_t s = c.supplies[i * k + j]; s != 0) put_row(out, {int64_t(i) + 1, int64_t(j) + 1, s});
        });
    }
    if (done) {
        done = write_file(base + ".mut", failure, [&](BufferedFile& out) {
            int64_t pointer = 0;
            for (std::size_t a = 0; a < m && !out.failed(); ++a)
                if (open_to_any({c.capacities.data() + a * k, k})) put_row(out, {++pointer, c.up[a]});
        });
    }
    if (done && write_map) {
        done = write_file(base + ".map", failure, [&](BufferedFile& out) {
            for (std::size_t i = 0; i < n && !out.failed(); ++i) put_row(out, {int64_t(i) + 1, c.node_ids[i]});
        });
    }
    return done;
}

}  // namespace pelmora::tools
