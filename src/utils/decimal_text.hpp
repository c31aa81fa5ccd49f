// Decimal text of 64-bit integers, written in place at a cursor with no check for room: the
// caller makes room first (BufferedFile::line_room).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pelmora::utils {

// Longest decimal text of a 64-bit integer, sign included.
inline constexpr std::size_t kMaxIntText = 20;

struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text() {
        for (int i = 0; i < 100; ++i) {
            text[2 * i] = char('0' + i / 10);
            text[2 * i + 1] = char('0' + i % 10);
        }
    }
};
inline constexpr DigitPairs kDigitPairs{};

inline constexpr auto kPowersOf10 = [] {
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

}  // namespace pelmora::utils
