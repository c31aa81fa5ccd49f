// The multi-commodity file writer (export_to_dimacs).
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include <fcntl.h>

#include "core/interrupt.hpp"
#include "utils/buffered_file.hpp"
#include "utils/files.hpp"
#include "utils/float_text.hpp"
#include "utils/os_error.hpp"

namespace pelmora::utils {

namespace {

using models::MultiCommodityData;
using models::NetworkInstance;

// Longest decimal text of a 64-bit integer, sign included.
constexpr std::size_t kMaxIntText = 20;

struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text() {
        for (int i = 0; i < 100; ++i) {
            text[2 * i] = char('0' + i / 10);
            text[2 * i + 1] = char('0' + i % 10);
        }
    }
};
constexpr DigitPairs kDigitPairs{};

constexpr auto kPowersOf10 = [] {
    std::array<uint64_t, 20> powers{};
    uint64_t power = 1;
    for (uint64_t& p : powers) {
        p = power;
        power *= 10;  // wraps after the last one, which is never stored
    }
    return powers;
}();

// Number of decimal digits of v, without a data-dependent loop: log10 estimated from the bit
// length (1233 / 4096 ~ log10(2)), corrected by one comparison. (v | 1 has as many digits as v
// and is never 0.)
inline unsigned decimal_length(uint64_t v) noexcept {
    v |= 1;
    unsigned bits = 64 - unsigned(__builtin_clzll(v));
    unsigned estimate = (bits * 1233) >> 12;
    return estimate + (v >= kPowersOf10[estimate]);
}

// Decimal text of v at out, two digits per step from the end; returns the end of the text.
inline char* write_decimal(char* out, uint64_t v) noexcept {
    char* end = out + decimal_length(v);
    char* p = end;
    while (v >= 100) {
        unsigned pair = unsigned(v % 100);
        v /= 100;
        p -= 2;
        std::memcpy(p, kDigitPairs.text + 2 * pair, 2);
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, kDigitPairs.text + 2 * v, 2);
    } else {
        *--p = char('0' + v);
    }
    return end;
}

inline char* write_decimal(char* out, int64_t v) noexcept {
    if (v < 0) {
        *out++ = '-';
        return write_decimal(out, uint64_t(0) - uint64_t(v));
    }
    return write_decimal(out, uint64_t(v));
}

// The eight decimal digits of v < 10^8 as byte values 0..9, most significant first in memory
// (leading zeros included): both halves of four digits are split into hundreds, then tens, side by side
// in one word, with multiplications by reciprocals that are exact in this range.
inline uint64_t eight_digits(uint32_t v) noexcept {
    uint64_t merged = uint64_t(v / 10000) | (uint64_t(v % 10000) << 32);
    uint64_t hundreds_of = ((merged * 10486ull) >> 20) & ((0x7Full << 32) | 0x7Full);
    uint64_t hundreds = ((merged - 100ull * hundreds_of) << 16) + hundreds_of;
    uint64_t tens = ((hundreds * 103ull) >> 10) & ((0xFull << 48) | (0xFull << 32) | (0xFull << 16) | 0xFull);
    tens += (hundreds - 10ull * tens) << 8;
    return tens;
}

// Decimal text of v at out, where 8 bytes from out may be written whatever the length: values
// below 10^8 (nearly all) take one store and no data-dependent branch. Returns the text's end.
inline char* write_decimal_wide(char* out, int64_t v) noexcept {
    uint64_t magnitude = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
    *out = '-';
    out += v < 0;
    if (magnitude < 100000000) [[likely]] {
        uint64_t digits = eight_digits(uint32_t(magnitude));
        // Leading zero digits are the low zero bytes; the last digit always stays.
        unsigned leading_bits = unsigned(__builtin_ctzll(digits | (uint64_t(1) << 56))) & ~7u;
        uint64_t text = (digits + 0x3030303030303030ull) >> leading_bits;
        std::memcpy(out, &text, 8);
        return out + 8 - leading_bits / 8;
    }
    return write_decimal(out, magnitude);
}

// Each line kind is formatted once, checking for room in one of two ways: a line whose longest
// text fits a buffer asks for all of it up front and then writes without checks (Unchecked); a
// longer one, which only thousands of commodities make, checks before each value (Checked).
struct Unchecked {
    char* operator()(char* cursor) const noexcept { return cursor; }
};
// Room for a value and the space after it, then what may follow it before the next check: the
// separators of empty fields and the line feed; plus the slack of the 8-byte store.
constexpr std::size_t kValueRoom = kMaxIntText + 4 + BufferedFile::kSlack;
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
        out = write_decimal_wide(room(out), values[i]);
        *out++ = ' ';
    }
    return out - (n != 0);
}

// Longest text of a line of `fields` put_field groups holding `values` integers in all: the
// letter, a space per group, each value and a space after it, the line feed, and the slack of the
// last 8-byte store. Above a buffer's capacity when it would not fit one.
constexpr std::size_t longest_line(std::size_t fields, std::size_t values) {
    constexpr std::size_t kLimit = BufferedFile::kCapacity;
    return values > kLimit ? kLimit + 1 : 1 + fields + values * (kMaxIntText + 1) + 1 + BufferedFile::kSlack;
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
    out.end_line(write_decimal(out.line_room(kMaxIntText), value));
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

    if (path.find('\0') != std::string_view::npos) return Error::io(std::string(kNulInPath));
    std::string c_path(path);
    int fd;
    do {
        fd = ::open(c_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR && !interrupted_now());  // a FIFO's open waits for a reader
    if (fd < 0) return errno == EINTR ? Error::interrupted() : Error::io(os_error_text(errno));
    auto out = std::make_unique<BufferedFile>(fd);

    const uint64_t k = data.num_commodities;
    const uint64_t seed = (data.method == 1 && !data.randomized_capacities && !data.randomized_weights) ? 0 : data.seed;
    char float_text[kMaxFloatText];

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
    out->put(format_float(data.cap_zero_param, float_text));
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

}  // namespace pelmora::utils
