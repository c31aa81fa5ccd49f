// The in-place path for the arc lines that make up nearly all of a .min file: "a" and five
// integers, each after one space, the last followed by a line feed. Such a line is parsed straight
// from the reader's buffer. Any other line (tabs, runs of spaces, a carriage return, a plus sign,
// a number of nine digits or more, a comment) is left to the tokenizer, which reads every line
// this path takes to the same five numbers.
//
// Where SSE2 is there, the line's first 32 bytes are classified at once into bitmaps (line feed,
// space, minus, anything else), which place all five tokens with a few bit operations; their
// conversions are then independent of each other, and the next line's start waits only for the
// line feed's position. Longer lines, and machines without SSE2, go a token at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "utils/numbers.hpp"

namespace pelmora::io {

// Bytes of the buffer that must follow a line's start for arc_line_words() to look at it: the
// longest line it takes, "a" and five times " -" and seven digits, with its line feed, plus the
// word read from the last token's first digit.
inline constexpr std::size_t kArcLineWindow = 2 + 5 * 9 + 8;

// The five numbers of the arc line at `p`, a token at a time, and the start of the next line;
// null when the line is not of the plain form above or has a number of eight digits or more.
// Reads up to kArcLineWindow bytes from p.
[[gnu::always_inline]] inline const char* arc_line_words(const char* p, int64_t (&v)[5]) noexcept {
    if (p[0] != 'a' || p[1] != ' ') return nullptr;
    p += 2;
    for (int k = 0; k < 5; ++k) {
        const bool negative = *p == '-';
        p += negative;
        uint64_t word;
        std::memcpy(&word, p, 8);
        const uint64_t flags = utils::non_digit_flags(word);
        if (flags == 0) return nullptr;  // eight digits or more
        const unsigned n = unsigned(__builtin_ctzll(flags)) >> 3;
        if (n == 0 || p[n] != (k == 4 ? '\n' : ' ')) return nullptr;
        const uint64_t d = utils::digits_value(word, n);
        v[k] = negative ? -int64_t(d) : int64_t(d);
        p += n + 1;
    }
    return p;
}

#if defined(__SSE2__)
// arc_line() for lines of up to 31 bytes before their line feed; `room` is how many of the bytes
// from p are the file's. Null also when the line is longer (the caller then goes a token at a time).
[[gnu::always_inline]] inline const char* arc_line_short(const char* p, std::size_t room, int64_t (&v)[5],
                                                         bool& longer) noexcept {
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    auto bits = [](__m128i low, __m128i high) {
        return uint32_t(_mm_movemask_epi8(low)) | (uint32_t(_mm_movemask_epi8(high)) << 16);
    };
    auto digit = [](__m128i x) {
        const __m128i d = _mm_sub_epi8(x, _mm_set1_epi8('0'));
        return _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
    };
    const __m128i space0 = _mm_cmpeq_epi8(x0, _mm_set1_epi8(' '));
    const __m128i space1 = _mm_cmpeq_epi8(x1, _mm_set1_epi8(' '));
    const __m128i minus0 = _mm_cmpeq_epi8(x0, _mm_set1_epi8('-'));
    const __m128i minus1 = _mm_cmpeq_epi8(x1, _mm_set1_epi8('-'));
    const uint32_t feed = bits(_mm_cmpeq_epi8(x0, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(x1, _mm_set1_epi8('\n')));
    const uint32_t space = bits(space0, space1);
    const uint32_t minus = bits(minus0, minus1);
    const uint32_t other = ~bits(_mm_or_si128(_mm_or_si128(space0, minus0), digit(x0)),
                                 _mm_or_si128(_mm_or_si128(space1, minus1), digit(x1)));
    if (feed == 0) {
        longer = true;
        return nullptr;
    }
    const unsigned e = unsigned(__builtin_ctz(feed));
    if (e >= room || p[0] != 'a') return nullptr;  // past e the bytes are not the file's
    const uint32_t line = (uint32_t(1) << e) - 1;
    const uint32_t spaces = space & line, minuses = minus & line;
    // Past the "a": only digits, spaces and minus signs; one space after the "a"; a space never
    // followed by a space or the line feed (no empty token); a minus sign only right after a space
    // and right before a digit.
    const uint32_t wrong = (other & line & ~uint32_t(1)) | (~space & 2) | ((spaces << 1) & (space | feed)) |
                           (minuses & ~(spaces << 1)) | ((minuses << 1) & (space | minus | feed));
    if (wrong != 0) return nullptr;
    // The separators: the space after the "a", four between the numbers, the line feed.
    unsigned at[6];
    at[0] = 1;
    uint32_t inner = spaces & ~uint32_t(2);
    for (int k = 1; k < 5; ++k) {
        if (inner == 0) return nullptr;
        at[k] = unsigned(__builtin_ctz(inner));
        inner &= inner - 1;
    }
    if (inner != 0) return nullptr;
    at[5] = e;
    bool too_long = false;
    for (int k = 0; k < 5; ++k) {
        const unsigned negative = (minus >> (at[k] + 1)) & 1;
        const unsigned start = at[k] + 1 + negative;
        const unsigned n = at[k + 1] - start;
        too_long |= n > 8;
        uint64_t word;
        std::memcpy(&word, p + start, 8);
        const uint64_t d = utils::digits_value(word, n < 8 ? n : 8);
        v[k] = negative ? -int64_t(d) : int64_t(d);
    }
    return too_long ? nullptr : p + e + 1;
}
#endif

// The five numbers of the arc line at `p`, and the start of the next line; null when the line is
// not of the plain form above or not whole in [p, end). 64 bytes past `end` may be read.
[[gnu::always_inline]] inline const char* arc_line(const char* p, const char* end, int64_t (&v)[5]) noexcept {
    const std::size_t room = std::size_t(end - p);
#if defined(__SSE2__)
    bool longer = false;
    const char* next = arc_line_short(p, room, v, longer);
    if (!longer) return next;
#endif
    return room >= kArcLineWindow ? arc_line_words(p, v) : nullptr;
}

}  // namespace pelmora::io
