// What the reader of the four mnetgen files shares across them: the numbers as written (integers
// kept exact, other decimals as the nearest double), a column that turns to doubles at the first
// value that needs it, a file read line by line whose errors name the file and the line, and the
// tables of arc names and of the (arc or node, commodity) pairs seen.
#pragma once

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/outcome.hpp"
#include "tools/data_arrays.hpp"
#include "io/line_reader.hpp"

namespace pelmora::tools::mnetgen {

using io::Line;
using io::LineReader;
using io::Tokens;
using utils::ParseStatus;

inline constexpr double kInf = std::numeric_limits<double>::infinity();
// The shortest record of ".arc": seven one-digit fields, six separators and a line feed.
inline constexpr uint64_t kShortestRecord = 14;

// A number of the files: an integer whenever the written value is one ("7", "7.000000", "1.2e+03"),
// else the double nearest to it.
// No default member values: the readers keep arrays of them per line, each field written before
// it is read.
struct Number {
    int64_t integer;
    double real;
    bool is_real;
};

// [sign] digits [. digits] [e|E [sign] digits], at least one digit before the exponent.
inline bool decimal_syntax(std::string_view t) noexcept {
    std::size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0, digits = 0;
    auto is_digit = [&](std::size_t at) { return at < t.size() && unsigned(t[at]) - unsigned('0') <= 9; };
    while (is_digit(i)) ++i, ++digits;
    if (i < t.size() && t[i] == '.')
        for (++i; is_digit(i); ++i) ++digits;
    if (digits == 0) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        if (!is_digit(i)) return false;
        while (is_digit(i)) ++i;
    }
    return i == t.size();
}

// The value of a decimal as an integer when it is one and int64 holds it: its significant digits
// (up to 18) and the power of ten they are scaled by decide, without rounding.
inline std::optional<int64_t> exact_integer(std::string_view t) noexcept {
    const bool negative = t[0] == '-';
    std::size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
    uint64_t mantissa = 0;
    int digits = 0;
    int64_t scale = 0;
    bool fraction = false;
    for (; i < t.size() && t[i] != 'e' && t[i] != 'E'; ++i) {
        if (t[i] == '.') {
            fraction = true;
            continue;
        }
        const unsigned d = unsigned(t[i]) - unsigned('0');
        if (digits == 18) {
            if (d != 0) return std::nullopt;  // beyond 18 significant digits: kept as a double
            if (!fraction) ++scale;
            continue;
        }
        if (mantissa != 0 || d != 0) ++digits;
        mantissa = mantissa * 10 + d;
        if (fraction) --scale;
    }
    if (i < t.size()) {
        int64_t exponent = 0;
        const char* first = t.data() + i + 1 + (t[i + 1] == '+');
        auto [end, ec] = std::from_chars(first, t.data() + t.size(), exponent);
        if (ec != std::errc() || end != t.data() + t.size() || exponent > 40 || exponent < -40)
            return mantissa == 0 ? std::optional<int64_t>(0) : std::nullopt;
        scale += exponent;
    }
    if (mantissa == 0) return 0;
    for (; scale < 0; ++scale) {
        if (mantissa % 10 != 0) return std::nullopt;
        mantissa /= 10;
    }
    for (; scale > 0; --scale)
        if (__builtin_mul_overflow(mantissa, uint64_t(10), &mantissa)) return std::nullopt;
    if (mantissa > uint64_t(INT64_MAX)) return std::nullopt;
    return negative ? -int64_t(mantissa) : int64_t(mantissa);
}

inline ParseStatus parse_number(std::string_view t, bool ascii, Number& out) noexcept {
    int64_t i;
    const ParseStatus status = ascii ? utils::parse_i64_padded(t, i) : utils::parse_i64(t, i);
    if (status == ParseStatus::ok) {
        out = {i, 0, false};
        return status;
    }
    if (!decimal_syntax(t)) return status == ParseStatus::ok ? ParseStatus::invalid_digit : status;
    if (std::optional<int64_t> exact = exact_integer(t)) {
        out = {*exact, 0, false};
        return ParseStatus::ok;
    }
    double d = 0;
    const char* first = t.data() + (t[0] == '+');
    auto [end, ec] = std::from_chars(first, t.data() + t.size(), d);
    if (ec != std::errc() || end != t.data() + t.size() || !std::isfinite(d)) return ParseStatus::too_large;
    out = {0, d, true};
    return ParseStatus::ok;
}

inline int64_t real_bits(double d) noexcept { return std::bit_cast<int64_t>(d); }

// A column that holds integers until the first value that is not one, and doubles (bit patterns
// in the same storage) from then on. Unwritten values are 0 either way.
class Values {
public:
    explicit Values(std::span<int64_t> storage) : s_(storage) {}
    void put(std::size_t at, const Number& v) noexcept {
        if (v.is_real && !real_) make_real();
        s_[at] = real_ ? real_bits(v.is_real ? v.real : double(v.integer)) : v.integer;
        written_ = std::max(written_, at + 1);
    }
    void put_unbounded(std::size_t at) noexcept {
        if (!real_) make_real();
        s_[at] = real_bits(kInf);
        written_ = std::max(written_, at + 1);
    }
    bool real() const noexcept { return real_; }

private:
    void make_real() noexcept {
        for (int64_t& x : s_.first(written_))
            if (x != 0) x = real_bits(double(x));
        real_ = true;
    }
    std::span<int64_t> s_;
    std::size_t written_ = 0;
    bool real_ = false;
};

// One of the four files, read line by line; errors name it and the line.
class Source {
public:
    explicit Source(std::string path) : path_(std::move(path)) {}
    std::optional<Error> open() {
        if (reader_.open(path_)) return std::nullopt;
        return Error::io(path_ + ": " + reader_.error());
    }
    // The next line; false at the end, with `error` set when the read failed.
    bool next(std::optional<Error>& error) {
        switch (reader_.next(line_)) {
            case LineReader::Next::line: return true;
            case LineReader::Next::end: return false;
            case LineReader::Next::failed: error = Error::io(path_ + ": " + reader_.error()); return false;
            case LineReader::Next::interrupted: error = Error::interrupted(); return false;
        }
        return false;
    }
    const Line& line() const noexcept { return line_; }
    uint64_t size() const noexcept { return reader_.file_size(); }
    uint64_t line_number() const noexcept { return reader_.line_number(); }
    Error at(const std::string& what) const { return at_line(reader_.line_number(), what); }
    Error at_line(uint64_t line, const std::string& what) const {
        return Error::value(path_ + " line " + std::to_string(line) + ": " + what);
    }
    // The line's numbers into `out`; an error for a missing, extra or malformed field, or a real
    // number where `integers` says an integer belongs. A line without any token sets `blank`
    // instead (the line is skipped). One pass of the tokenizer per line.
    template <std::size_t N>
    std::optional<Error> fields(Number (&out)[N], const char* const (&names)[N], uint32_t integers, bool& blank) const {
        if (line_.ascii) return ascii_fields(out, names, integers, blank);
        Tokens tokens(line_);
        std::string_view t;
        blank = false;
        for (std::size_t i = 0; i < N; ++i) {
            if (!tokens.next(t)) {
                blank = i == 0;
                if (blank) return std::nullopt;
                return at("has " + std::to_string(i) + " fields, expected " + std::to_string(N) + " (no " + names[i] +
                          ")");
            }
            if (auto bad = token(t, line_.ascii, out[i], names[i], integers >> i & 1)) return bad;
        }
        if (tokens.next(t)) return at("has more than " + std::to_string(N) + " fields");
        return std::nullopt;
    }

    // One token as the number of field `name`; an error when it is none, or not an integer where
    // `integer` asks for one.
    std::optional<Error> token(std::string_view t, bool padded, Number& out, const char* name, bool integer) const {
        const ParseStatus status = parse_number(t, padded, out);
        if (status != ParseStatus::ok)
            return at(std::string(name) + " \"" + std::string(t) + "\" is not a number (" +
                      std::string(utils::parse_message(status)) + ")");
        if (integer && out.is_real)
            return at(std::string(name) + " " + std::string(t) +
                      (std::floor(out.real) == out.real ? " is beyond the 64-bit integers" : " is not an integer"));
        return std::nullopt;
    }

    static bool space(char c) noexcept { return c == ' ' || unsigned(c) - 9u <= 4u; }

    // The bytes of an ASCII line up to the start of field `field` (0-based), or 0 when the line has
    // no such field.
    std::size_t field_offset(std::size_t field) const noexcept {
        const char *p = line_.data, *const end = p + line_.size;
        for (std::size_t i = 0; i <= field; ++i) {
            while (p != end && space(*p)) ++p;
            if (p == end) return 0;
            if (i == field) break;
            while (p != end && !space(*p)) ++p;
        }
        return std::size_t(p - line_.data);
    }

    // The value of the digits at `p` (up to 7 of them, the line's end included) read as one 8-byte
    // word, `p` moved past them; 0 with `p` unmoved when 8 digits or more follow, which the caller
    // reads on. The line's padding makes the 8 bytes readable.
    static uint64_t leading_digits(const char*& p, const char* end) noexcept {
        uint64_t word;
        std::memcpy(&word, p, 8);
        // Bytes below '0' or above '9' get their top bit; carries and borrows only move towards the
        // bytes after the first such byte, which are not used.
        const uint64_t flags =
            ((word + 0x4646464646464646ull) | (word - 0x3030303030303030ull)) & 0x8080808080808080ull;
        if (flags == 0) return 0;
        const std::size_t n = std::min<std::size_t>(std::size_t(std::countr_zero(flags)) / 8, std::size_t(end - p));
        if (n == 0) return 0;
        uint64_t v = (word - 0x3030303030303030ull) << (8 * (8 - n));
        v = (v * 10) + (v >> 8);
        v = (((v & 0x000000FF000000FFull) * 0x000F424000000064ull) +
             (((v >> 16) & 0x000000FF000000FFull) * 0x0000271000000001ull)) >>
            32;
        p += n;
        return v;
    }

    // The same for a line of ASCII bytes, where white space is the space and tab to carriage
    // return: one pass over the bytes, short integers (the files' common case) converted as they
    // are scanned, any other token handed to parse_number.
    // With `first`, the fields before it are taken as read already and the scan starts `offset`
    // bytes into the line, where field `first` begins.
    template <std::size_t N>
    std::optional<Error> ascii_fields(Number (&out)[N], const char* const (&names)[N], uint32_t integers, bool& blank,
                                      std::size_t first = 0, std::size_t offset = 0) const {
        const char* p = line_.data + offset;
        const char* const end = line_.data + line_.size;
        blank = false;
        for (std::size_t i = first; i < N; ++i) {
            while (p != end && space(*p)) ++p;
            if (p == end) {
                blank = i == 0;
                if (blank) return std::nullopt;
                return at("has " + std::to_string(i) + " fields, expected " + std::to_string(N) + " (no " + names[i] +
                          ")");
            }
            const char* const start = p;
            const bool negative = *p == '-';
            if (*p == '-' || *p == '+') ++p;
            const char* const digits = p;
            uint64_t v = leading_digits(p, end);
            while (p != end && unsigned(*p) - unsigned('0') <= 9 && p - digits < 18) v = v * 10 + unsigned(*p++ - '0');
            if (p != digits && (p == end || space(*p))) {
                out[i] = {negative ? -int64_t(v) : int64_t(v), 0, false};
                continue;
            }
            while (p != end && !space(*p)) ++p;
            const std::string_view t(start, std::size_t(p - start));
            if (auto bad = token(t, false, out[i], names[i], integers >> i & 1)) return bad;
        }
        while (p != end && space(*p)) ++p;
        if (p != end) return at("has more than " + std::to_string(N) + " fields");
        return std::nullopt;
    }
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
    LineReader reader_;
    Line line_;
};

// Arc names to arc numbers (first appearance order): a table over 1..m when the file is large
// enough to hold that many names, else a hash map, so that a claimed m sizes nothing.
class ArcNames {
public:
    ArcNames(uint64_t m, uint64_t file_size) {
        if (file_size != LineReader::kUnknownSize && m <= file_size / 8 + 4096) table_.assign(m + 1, 0);
    }
    // The arc number + 1 of `name`, or 0 when unseen, in which case it becomes `next`.
    uint64_t find_or_add(int64_t name, uint64_t next) {
        if (!table_.empty()) {
            uint64_t& slot = table_[std::size_t(name)];
            const uint64_t found = slot;
            if (!found) slot = next + 1;
            return found;
        }
        auto [it, added] = map_.try_emplace(name, next + 1);
        return added ? 0 : it->second;
    }

private:
    std::vector<uint64_t> table_;
    std::unordered_map<int64_t, uint64_t> map_;
};

// One bit per value of an arc's or node's K columns: which commodities have a record already.
class Seen {
public:
    static std::optional<Seen> make(std::size_t count) {
        std::optional<ZeroedValues> bits = ZeroedValues::make(count / 64 + 1);
        if (!bits) return std::nullopt;
        Seen out;
        out.bits_ = std::move(*bits);
        return out;
    }
    // Marks value `at`; false when it was marked already.
    bool mark(std::size_t at) noexcept {
        int64_t& word = bits_.values()[at / 64];
        const int64_t bit = int64_t(uint64_t(1) << (at % 64));
        if (word & bit) return false;
        word |= bit;
        return true;
    }

private:
    ZeroedValues bits_;
};

// Whether the first `size` bytes (at most 64) at `line` are those of `prefix`, compared eight bytes
// at a time: the line's padding and the prefix's 64-byte buffer make whole words readable.
inline bool same_prefix(const char* line, const char* prefix, std::size_t size) noexcept {
    std::size_t i = 0;
    uint64_t x, y;
    for (; i + 8 <= size; i += 8) {
        std::memcpy(&x, line + i, 8);
        std::memcpy(&y, prefix + i, 8);
        if (x != y) return false;
    }
    if (i == size) return true;
    std::memcpy(&x, line + i, 8);
    std::memcpy(&y, prefix + i, 8);
    return ((x ^ y) & ((uint64_t(1) << (8 * (size - i))) - 1)) == 0;
}

}  // namespace pelmora::tools::mnetgen
