// The in-place path for the arc lines that make up nearly all of a .min file: "a" and five
// integers, each after one space, the last followed by a line feed. Such a line is parsed straight
// from the reader's buffer, a token at a time by a word-wide digit scan, without finding its line
// feed or classifying its white space first. Any other line (tabs, runs of spaces, a carriage
// return, a plus sign, a number of eight digits or more, a comment) is left to the tokenizer,
// which reads every line this path takes to the same five numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "utils/numbers.hpp"

namespace pelmora::io {

// Bytes of the buffer that must follow a line's start for arc_line() to look at it: the longest
// line it takes, "a" and five times " -" and seven digits, with its line feed, plus the word read
// from the last token's first digit.
inline constexpr std::size_t kArcLineWindow = 2 + 5 * 9 + 8;

// The five numbers of the arc line at `p`, and the start of the next line; null when the line is
// not of the plain form above. Reads up to kArcLineWindow bytes from p.
[[gnu::always_inline]] inline const char* arc_line(const char* p, int64_t (&v)[5]) noexcept {
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

}  // namespace pelmora::io
