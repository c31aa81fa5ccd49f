// What the reader of the four mnetgen files shares across them: the numbers as written (integers
// kept exact, other decimals as the nearest double), a column that turns to doubles at the first
// value that needs it, and a file read line by line whose errors name the file and the line.
#pragma once

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/outcome.hpp"
#include "utils/line_reader.hpp"

namespace pelmora::tools::mnetgen {

using utils::Line;
using utils::LineReader;
using utils::ParseStatus;
using utils::Tokens;

inline constexpr double kInf = std::numeric_limits<double>::infinity();
// The shortest record of ".arc": seven one-digit fields, six separators and a line feed.
inline constexpr uint64_t kShortestRecord = 14;

// A number of the files: an integer whenever the written value is one ("7", "7.000000", "1.2e+03"),
// else the double nearest to it.
struct Number {
    int64_t integer = 0;
    double real = 0;
    bool is_real = false;
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
    // The next line that holds a token; false at the end, with `error` set when the read failed.
    bool next(std::optional<Error>& error) {
        for (;;) {
            switch (reader_.next(line_)) {
                case LineReader::Next::line: break;
                case LineReader::Next::end: return false;
                case LineReader::Next::failed: error = Error::io(path_ + ": " + reader_.error()); return false;
                case LineReader::Next::interrupted: error = Error::interrupted(); return false;
            }
            Tokens probe(line_);
            std::string_view t;
            if (probe.next(t)) return true;
        }
    }
    const Line& line() const noexcept { return line_; }
    uint64_t size() const noexcept { return reader_.file_size(); }
    uint64_t line_number() const noexcept { return reader_.line_number(); }
    Error at(const std::string& what) const { return at_line(reader_.line_number(), what); }
    Error at_line(uint64_t line, const std::string& what) const {
        return Error::value(path_ + " line " + std::to_string(line) + ": " + what);
    }
    // The line's numbers into `out`; an error for a missing, extra or malformed field, or a real
    // number where `integers` says an integer belongs.
    template <std::size_t N>
    std::optional<Error> fields(Number (&out)[N], const char* const (&names)[N], uint32_t integers) const {
        Tokens tokens(line_);
        std::string_view t;
        for (std::size_t i = 0; i < N; ++i) {
            if (!tokens.next(t))
                return at("has " + std::to_string(i) + " fields, expected " + std::to_string(N) + " (no " + names[i] +
                          ")");
            const ParseStatus status = parse_number(t, line_.ascii, out[i]);
            if (status != ParseStatus::ok)
                return at(std::string(names[i]) + " \"" + std::string(t) + "\" is not a number (" +
                          std::string(utils::parse_message(status)) + ")");
            if ((integers >> i & 1) && out[i].is_real)
                return at(
                    std::string(names[i]) + " " + std::string(t) +
                    (std::floor(out[i].real) == out[i].real ? " is beyond the 64-bit integers" : " is not an integer"));
        }
        if (tokens.next(t)) return at("has more than " + std::to_string(N) + " fields");
        return std::nullopt;
    }
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
    LineReader reader_;
    Line line_;
};

}  // namespace pelmora::tools::mnetgen
