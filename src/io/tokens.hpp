// Lines and their tokens: white-space runs separate the tokens of a line, leading and trailing
// white space yields none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "utils/numbers.hpp"
#include "utils/utf8.hpp"

namespace pelmora::io {

// One line of text without its line ending. `ascii` is a promise that every byte is below 0x80,
// which lets the tokenizer skip the multi-byte white-space checks. At least kLinePadding bytes
// after the line's end may be read (they belong to the buffer, not to the line).
inline constexpr std::size_t kLinePadding = 64;
struct Line {
    const char* data = nullptr;
    std::size_t size = 0;
    bool ascii = true;
};

namespace detail {

// Bit i set when byte p[i] is ASCII white space; 64 bytes from p must be readable.
PELMORA_HOT uint64_t ascii_space_bits(const unsigned char* p) noexcept {
#if defined(__SSE2__)
    uint64_t bits = 0;
    for (int k = 0; k < 4; ++k) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        __m128i space = _mm_cmpeq_epi8(x, _mm_set1_epi8(' '));
        __m128i below = _mm_sub_epi8(x, _mm_set1_epi8(9));  // tab .. carriage return -> 0 .. 4
        __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(below, _mm_set1_epi8(4)), below);
        bits |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_or_si128(space, control)))) << (16 * k);
    }
    return bits;
#else
    uint64_t bits = 0;
    for (int i = 0; i < 64; ++i) bits |= uint64_t(kAsciiSpace.is_space[p[i]]) << i;
    return bits;
#endif
}

}  // namespace detail

// Walks the tokens of one line: white-space runs separate them, leading and trailing white space
// yields none. Pure ASCII lines are classified 64 bytes at a time into a white-space bitmap, so
// finding a token costs a few bit operations and the tokens of a line parse independently.
class Tokens {
public:
    explicit Tokens(const Line& line) noexcept
        : p_(reinterpret_cast<const unsigned char*>(line.data)), end_(p_ + line.size), ascii_(line.ascii) {
        if (ascii_) {
            base_ = end_;  // an empty line has no window
            if (p_ != end_) load_window(p_, 1);
        }
    }

    // The next token, or false when the line has no more.
    PELMORA_HOT bool next(std::string_view& token) noexcept {
        if (ascii_) [[likely]] {
            while (starts_ == 0) {
                if (end_ - base_ <= 64) return false;
                load_window(base_ + 64, space_ >> 63);
            }
            unsigned i = unsigned(__builtin_ctzll(starts_));
            starts_ &= starts_ - 1;
            const unsigned char* start = base_ + i;
            uint64_t rest = space_ >> i;
            const unsigned char* from = start;
            while (rest == 0) {  // the token runs into the next window (which exists: bits past the end are set)
                load_window(base_ + 64, 0);
                rest = space_;
                from = base_;
            }
            const unsigned char* stop = from + __builtin_ctzll(rest);
            token = {reinterpret_cast<const char*>(start), std::size_t(stop - start)};
            return true;
        }
        return next_unicode(token);
    }

    // The next token as an integer; ParseStatus::missing when the line has no more tokens.
    PELMORA_HOT utils::ParseStatus next_i64(int64_t& out) noexcept {
        std::string_view token;
        if (!next(token)) return utils::ParseStatus::missing;
        return ascii_ ? utils::parse_i64_padded(token, out) : utils::parse_i64(token, out);
    }
    utils::ParseStatus next_u64(uint64_t& out) noexcept {
        std::string_view token;
        if (!next(token)) return utils::ParseStatus::missing;
        return utils::parse_u64(token, out);
    }

private:
    // Makes the 64 bytes from `base` the current window; `space_before` tells whether the byte
    // before it is white space (or the line's start), so that a token running across the
    // boundary does not start again.
    PELMORA_HOT void load_window(const unsigned char* base, uint64_t space_before) noexcept {
        base_ = base;
        space_ = detail::ascii_space_bits(base);
        std::size_t left = std::size_t(end_ - base);
        if (left < 64) space_ |= ~uint64_t(0) << left;  // past the end counts as white space
        starts_ = ~space_ & ((space_ << 1) | space_before);
    }

    bool next_unicode(std::string_view& token) noexcept {
        std::size_t w;
        while (p_ != end_ && (w = utils::space_length(p_, end_)) != 0) p_ += w;
        if (p_ == end_) return false;
        const unsigned char* start = p_;
        while (p_ != end_ && utils::space_length(p_, end_) == 0) ++p_;
        token = {reinterpret_cast<const char*>(start), std::size_t(p_ - start)};
        return true;
    }

    const unsigned char* p_;  // Unicode path: the scan position
    const unsigned char* end_;
    bool ascii_;
    const unsigned char* base_ = nullptr;  // ASCII path: the current 64-byte window
    uint64_t space_ = 0;
    uint64_t starts_ = 0;  // token starts in the window not handed out yet
};

}  // namespace pelmora::io
