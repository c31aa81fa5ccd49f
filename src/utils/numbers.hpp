// Number tokens. The integer rule: an optional single sign ("+" only for unsigned targets), then
// ASCII digits; the first offending character met while scanning left to right decides the
// message. `missing` is the token cursor's report that the line has no further token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace pelmora::utils {

enum class ParseStatus : uint8_t { ok, empty, invalid_digit, too_large, too_small, missing };

std::string_view parse_message(ParseStatus status) noexcept;

#define PELMORA_HOT inline __attribute__((always_inline))

// Scans a sign and the digits after it, stopping at the first byte that is not a digit, which is
// left at `p`. `ok` means at least one digit was read and the value is in range; the caller
// decides whether the byte at `p` may end the token.
inline ParseStatus scan_i64(const unsigned char*& p, const unsigned char* end, int64_t& out) noexcept {
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const unsigned char* first = p;
    // Up to 18 digits can never leave the range, so the common case needs no overflow checks.
    const unsigned char* fast_end = end - p > 18 ? p + 18 : end;
    uint64_t magnitude = 0;
    while (p != fast_end) {
        unsigned d = unsigned(*p) - unsigned('0');
        if (d > 9) break;
        magnitude = magnitude * 10 + d;
        ++p;
    }
    if (p == first) return ParseStatus::invalid_digit;
    int64_t value = negative ? -int64_t(magnitude) : int64_t(magnitude);
    if (p == fast_end && p != end && unsigned(*p) - unsigned('0') <= 9) {
        for (; p != end; ++p) {
            unsigned d = unsigned(*p) - unsigned('0');
            if (d > 9) break;
            if (negative) {
                if (__builtin_mul_overflow(value, int64_t(10), &value) ||
                    __builtin_sub_overflow(value, int64_t(d), &value))
                    return ParseStatus::too_small;
            } else {
                if (__builtin_mul_overflow(value, int64_t(10), &value) ||
                    __builtin_add_overflow(value, int64_t(d), &value))
                    return ParseStatus::too_large;
            }
        }
    }
    out = value;
    return ParseStatus::ok;
}

// The unsigned counterpart: a "+" is skipped, a "-" stays and fails as a digit.
inline ParseStatus scan_u64(const unsigned char*& p, const unsigned char* end, uint64_t& out) noexcept {
    if (p != end && *p == '+') ++p;
    const unsigned char* first = p;
    uint64_t value = 0;
    for (; p != end; ++p) {
        unsigned d = unsigned(*p) - unsigned('0');
        if (d > 9) break;
        if (__builtin_mul_overflow(value, uint64_t(10), &value) || __builtin_add_overflow(value, uint64_t(d), &value))
            return ParseStatus::too_large;
    }
    if (p == first) return ParseStatus::invalid_digit;
    out = value;
    return ParseStatus::ok;
}

// A whole token as a signed or unsigned 64-bit integer.
inline ParseStatus parse_i64(std::string_view token, int64_t& out) noexcept {
    if (token.empty()) return ParseStatus::empty;
    auto p = reinterpret_cast<const unsigned char*>(token.data());
    auto end = p + token.size();
    ParseStatus status = scan_i64(p, end, out);
    return status == ParseStatus::ok && p != end ? ParseStatus::invalid_digit : status;
}
inline ParseStatus parse_u64(std::string_view token, uint64_t& out) noexcept {
    if (token.empty()) return ParseStatus::empty;
    auto p = reinterpret_cast<const unsigned char*>(token.data());
    auto end = p + token.size();
    ParseStatus status = scan_u64(p, end, out);
    return status == ParseStatus::ok && p != end ? ParseStatus::invalid_digit : status;
}

// Bit 8k + 7 set where byte k of the little-endian `word` is not an ASCII digit; exact up to the
// first such byte, as carries and borrows only move towards the bytes after it.
PELMORA_HOT uint64_t non_digit_flags(uint64_t word) noexcept {
    return ((word + 0x4646464646464646ull) | (word - 0x3030303030303030ull)) & 0x8080808080808080ull;
}

// The value of the n digits (1 <= n <= 8) that start `word`, whatever its other bytes hold.
PELMORA_HOT uint64_t digits_value(uint64_t word, unsigned n) noexcept {
    uint64_t v = (word - 0x3030303030303030ull) << (8 * (8 - n));
    v = (v * 10) + (v >> 8);
    return (((v & 0x000000FF000000FFull) * 0x000F424000000064ull) +
            (((v >> 16) & 0x000000FF000000FFull) * 0x0000271000000001ull)) >>
           32;
}

// A whole token as a signed integer, where 8 bytes from its start may be read: tokens of up to
// eight digits (after an optional sign) are checked and converted eight bytes at a time, anything
// else goes through parse_i64 with its exact messages.
PELMORA_HOT ParseStatus parse_i64_padded(std::string_view token, int64_t& out) noexcept {
    auto p = reinterpret_cast<const unsigned char*>(token.data());
    std::size_t n = token.size();
    bool negative = false;
    if (n > 1 && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
        --n;
    }
    if (n != 0 && n <= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        // The bytes after the token may be anything: the mask drops them.
        uint64_t mask = n == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * n)) - 1;
        if ((non_digit_flags(word) & mask) == 0) {
            uint64_t v = digits_value(word, unsigned(n));
            out = negative ? -int64_t(v) : int64_t(v);
            return ParseStatus::ok;
        }
    }
    return parse_i64(token, out);
}

// A 64-bit float: optional sign, then decimal digits with an optional fraction and exponent (at
// least one mantissa digit), or inf, infinity, nan in any letter case; rounded to nearest.
// Fails with ParseStatus::empty or ParseStatus::invalid_digit (shown as float messages).
ParseStatus parse_f64(std::string_view token, double& out) noexcept;
std::string_view float_parse_message(ParseStatus status) noexcept;

}  // namespace pelmora::utils
