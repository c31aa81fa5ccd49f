// The multi-commodity file writer (export_to_dimacs).
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "io/buffered_file.hpp"
#include "io/files.hpp"
#include "models/split_method.hpp"
#include "utils/decimal_text.hpp"
#include "utils/float_text.hpp"
#include "utils/os_error.hpp"

namespace pelmora::io {

namespace {

using models::MultiCommodityData;
using models::NetworkInstance;

// Each line kind is formatted once, checking for room in one of two ways: a line whose longest
// text fits a buffer asks for all of it up front and then writes without checks (Unchecked); a
// longer one, which only thousands of commodities make, checks before each value (Checked).
struct Unchecked {
    char* operator()(char* cursor) const noexcept { return cursor; }
};
// Room for a value and the space after it, then what may follow it before the next check: the
// separators of empty fields and the line feed; plus the slack of the 8-byte store.
constexpr std::size_t kValueRoom = utils::kMaxIntText + 4 + BufferedFile::kSlack;
struct Checked {
    BufferedFile& file;
    char* operator()(char* cursor) const { return file.room_at(cursor, kValueRoom); }
};

// Writes a space, then the values joined by single spaces (nothing more when n is 0), at the
// cursor.
template <class Room>
inline char* put_field(char* out, const int64_t* values, std::size_t n, Room room) {
    *out++ = ' ';
    for (std::size_t i = 0; i < n; ++i) {
        out = utils::write_decimal_wide(room(out), values[i]);
        *out++ = ' ';
    }
    return out - (n != 0);
}

// Longest text of a line of `fields` put_field groups holding `values` integers in all: the
// letter, a space per group, each value and a space after it, the line feed, and the slack of the
// last 8-byte store. Above a buffer's capacity when it would not fit one.
constexpr std::size_t longest_line(std::size_t fields, std::size_t values) {
    constexpr std::size_t kLimit = BufferedFile::kCapacity;
    return values > kLimit ? kLimit + 1 : 1 + fields + values * (utils::kMaxIntText + 1) + 1 + BufferedFile::kSlack;
}

// Formats one line through format(cursor, room), a generic callable returning the line's end.
template <class Format>
inline void put_line(BufferedFile& out, std::size_t longest, Format&& format) {
    if (longest > BufferedFile::kCapacity) [[unlikely]] {
        out.end_line(format(out.line_room(kValueRoom), Checked{out}));
        return;
    }
    out.end_line(format(out.line_room(longest), Unchecked{}));
}

// "n <node> <total> <amount>...", the amounts in commodity order.
template <class Room>
inline char* node_line(char* out, int64_t node, int64_t total, std::span<const int64_t> row, Room room) {
    const int64_t head[2] = {node, total};
    *out++ = 'n';
    out = put_field(out, head, 2, room);
    out = put_field(out, row.data(), row.size(), room);
    *out++ = '\n';
    return out;
}

// "a <tail> <head> <low> <up> <capacity>... <cost>...".
template <class Room>
inline char* arc_line(char* out, const models::Edge& e, const int64_t* caps, std::size_t cap_count,
                      const int64_t* costs, std::size_t cost_count, Room room) {
    *out++ = 'a';
    static_assert(offsetof(models::Edge, up) == offsetof(models::Edge, tail) + 3 * sizeof(int64_t));
    out = put_field(out, &e.tail, 4, room);  // tail, head, low, up lie side by side
    out = put_field(out, caps, cap_count, room);
    out = put_field(out, costs, cost_count, room);
    *out++ = '\n';
    return out;
}

template <class Int>
void put_int(BufferedFile& out, Int value) {
    out.end_line(utils::write_decimal(out.line_room(utils::kMaxIntText), value));
}

std::string misfit(const std::string& why) { return "data set does not fit the network: " + why; }

// The writer reads capacities_by_arc[a] and weights_by_arc[a] for every arc position a of the
// network, and the first value of each where a group is compressed. Checked before the file is
// touched, so that a mismatched pair of records never leaves a half-written or truncated file.
Outcome<void> check_fits(const NetworkInstance& instance, const MultiCommodityData& data, bool caps_expanded,
                         bool costs_expanded) {
    const uint64_t k = data.num_commodities;
    const uint64_t data_arcs = data.arcs.size();
    uint64_t values;
    if (__builtin_mul_overflow(data_arcs, k, &values) || data.arc_capacities.size() != values ||
        data.costs.size() != values)
        return Error::value(misfit("its per-arc capacity and cost lists do not hold K values per arc"));
    const models::ListMap& partition = data.supply_partition;
    bool partition_ok = partition.offsets.size() == partition.keys.size() + 1 && partition.offsets.front() == 0 &&
                        partition.offsets.back() == partition.values.size();
    for (std::size_t i = 1; partition_ok && i < partition.offsets.size(); ++i)
        partition_ok = partition.offsets[i - 1] <= partition.offsets[i];
    if (!partition_ok) return Error::value(misfit("its supply partition is malformed"));
    const uint64_t m = instance.edges.size();
    if (m > data_arcs)
        return Error::value(misfit("it holds capacities and costs for " + std::to_string(data_arcs) +
                                   " arcs, the network has " + std::to_string(m)));
    if (m != 0 && k == 0 && !(caps_expanded && costs_expanded))
        return Error::value(misfit(std::string("with 0 commodities the compressed ") +
                                   (caps_expanded ? "cost" : "capacity") + " group has no value to write"));
    return {};
}

}  // namespace

Outcome<void> export_to_dimacs(std::string_view path, const NetworkInstance& instance, const MultiCommodityData& data) {
    const bool caps_expanded = data.randomized_capacities || data.cap_zero;
    const bool costs_expanded = data.randomized_weights;
    if (Outcome<void> fits = check_fits(instance, data, caps_expanded, costs_expanded); !fits) return fits;

    if (path.find('\0') != std::string_view::npos) return Error::io(std::string(utils::kNulInPath));
    const int fd = open_for_writing(std::string(path));
    if (fd < 0) return errno == EINTR ? Error::interrupted() : Error::io(utils::os_error_text(errno));
    auto out = std::make_unique<BufferedFile>(fd);

    const uint64_t k = data.num_commodities;
    const uint64_t seed = (data.method == models::number_of(models::SplitMethod::uniform) &&
                           !data.randomized_capacities && !data.randomized_weights)
                              ? 0
                              : data.seed;
    char float_text[utils::kMaxFloatText];

    out->put("c Multicommodity flow generated by pelmora\n");
    out->put("p min ");
    put_int(*out, instance.num_nodes);
    out->put(" ");
    put_int(*out, instance.num_arcs);
    out->put(" ");
    put_int(*out, k);
    out->put(data.randomized_capacities ? " 1 " : " 0 ");
    out->put(data.randomized_weights ? "1 " : "0 ");
    put_int(*out, data.method);
    out->put(data.cap_zero ? " 1 " : " 0 ");
    out->put(utils::format_float(data.cap_zero_param, float_text));
    out->put(" ");
    put_int(*out, seed);
    out->put("\n");

    const models::ListMap& partition = data.supply_partition;
    for (std::size_t i = 0; i < partition.size() && !out->failed(); ++i) {
        std::span<const int64_t> row = partition.row(i);
        uint64_t total = 0;  // wraps like the release-mode sum of the original tool
        for (int64_t v : row) total += uint64_t(v);
        put_line(*out, longest_line(2, 2 + row.size()), [&](char* cursor, auto room) {
            return node_line(cursor, partition.keys[i], int64_t(total), row, room);
        });
    }

    const std::size_t cap_count = caps_expanded ? k : 1;
    const std::size_t cost_count = costs_expanded ? k : 1;
    const std::size_t m = instance.edges.size();
    const std::size_t longest_arc_line = longest_line(3, 4 + cap_count + cost_count);
    for (std::size_t a = 0; a < m; ++a) {
        const int64_t* caps = data.arc_capacities.data() + a * k;
        const int64_t* costs = data.costs.data() + a * k;
        put_line(*out, longest_arc_line, [&](char* cursor, auto room) {
            return arc_line(cursor, instance.edges[a], caps, cap_count, costs, cost_count, room);
        });
        if ((a & 1023) == 0 && out->failed()) break;
    }
    out->finish();
    if (out->failed()) return Error::io(out->error());
    return {};
}

}  // namespace pelmora::io
