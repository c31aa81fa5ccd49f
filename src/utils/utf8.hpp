// UTF-8 checks and the Unicode White_Space rule for the text the readers take in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace pelmora::utils {

inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

// Whether every byte of s[0, n) is below 0x80.
inline bool all_ascii(const unsigned char* s, std::size_t n) noexcept {
    uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, s + i, 8);
        high |= word;
    }
    for (; i < n; ++i) high |= s[i];
    return (high & 0x8080808080808080ull) == 0;
}

// Whether s[0, n) is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool valid_utf8(const unsigned char* s, std::size_t n) noexcept;

// The ASCII members of White_Space are tab to carriage return and space; the others are
// multi-byte and only looked for in lines that are not pure ASCII.
namespace detail {
struct AsciiSpaceTable {
    bool is_space[256] = {};
    constexpr AsciiSpaceTable() {
        for (int c = 9; c <= 13; ++c) is_space[c] = true;
        is_space[0x20] = true;
    }
};
inline constexpr AsciiSpaceTable kAsciiSpace{};
}  // namespace detail

// Length of the White_Space character starting at p (0 if it is not one); p < end, and the
// bytes are valid UTF-8.
inline std::size_t space_length(const unsigned char* p, const unsigned char* end) noexcept {
    unsigned char b = *p;
    if (b < 0x80) return detail::kAsciiSpace.is_space[b] ? 1 : 0;
    std::size_t left = std::size_t(end - p);
    switch (b) {
        case 0xC2:  // U+0085, U+00A0
            return (left >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) ? 2 : 0;
        case 0xE1:  // U+1680
            return (left >= 3 && p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;
        case 0xE2:  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
            if (left < 3) return 0;
            if (p[1] == 0x80) {
                unsigned char c = p[2];
                return (c <= 0x8A || c == 0xA8 || c == 0xA9 || c == 0xAF) && c >= 0x80 ? 3 : 0;
            }
            return (p[1] == 0x81 && p[2] == 0x9F) ? 3 : 0;
        case 0xE3:  // U+3000
            return (left >= 3 && p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;
        default: return 0;
    }
}

}  // namespace pelmora::utils
