// Line and token handling shared by the two DIMACS readers: the buffered line reader, the
// white-space rule for trimming and splitting, and the number-token parsers with their messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/outcome.hpp"

namespace pelmora::utils {

// "<strerror text> (os error N)", the text the module shows for every failed system call.
std::string os_error_text(int errnum);

inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

// Whether every byte of bytes[0, n) is below 0x80.
bool all_ascii(const unsigned char* bytes, std::size_t n) noexcept;
// Whether bytes[0, n) is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool valid_utf8(const unsigned char* bytes, std::size_t n) noexcept;

// ---------------------------------------------------------------------------------------------
// White space: the Unicode White_Space property. The ASCII members are tab to carriage return and
// space; the others are multi-byte and only looked for in lines that are not pure ASCII.

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
        default:
            return 0;
    }
}

// One line of text without its line ending. `ascii` is a promise that every byte is below 0x80,
// which lets the tokenizer skip the multi-byte white-space checks. At least kLinePadding bytes
// after the line's end may be read (they belong to the buffer, not to the line).
inline constexpr std::size_t kLinePadding = 64;
struct Line {
    const char* data = nullptr;
    std::size_t size = 0;
    bool ascii = true;
};

// ---------------------------------------------------------------------------------------------
// Number tokens. The integer rule: an optional single sign ("+" only for unsigned targets), then
// ASCII digits; the first offending character met while scanning left to right decides the
// message. `missing` is the cursor's report that the line has no further token.

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
                if (__builtin_mul_overflow(value, int64_t(10), &value) || __builtin_sub_overflow(value, int64_t(d), &value))
                    return ParseStatus::too_small;
            } else {
                if (__builtin_mul_overflow(value, int64_t(10), &value) || __builtin_add_overflow(value, int64_t(d), &value))
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
        // Bytes below '0' or above '9' get their top bit; carries and borrows only move towards
        // the bytes after the token, which the mask drops.
        uint64_t flags = ((word + 0x4646464646464646ull) | (word - 0x3030303030303030ull)) & 0x8080808080808080ull;
        uint64_t mask = n == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * n)) - 1;
        if ((flags & mask) == 0) {
            uint64_t v = (word - 0x3030303030303030ull) << (8 * (8 - n));
            v = (v * 10) + (v >> 8);
            v = (((v & 0x000000FF000000FFull) * 0x000F424000000064ull) +
                 (((v >> 16) & 0x000000FF000000FFull) * 0x0000271000000001ull)) >> 32;
            out = negative ? -int64_t(v) : int64_t(v);
            return ParseStatus::ok;
        }
    }
    return parse_i64(token, out);
}

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
    PELMORA_HOT ParseStatus next_i64(int64_t& out) noexcept {
        std::string_view token;
        if (!next(token)) return ParseStatus::missing;
        return ascii_ ? parse_i64_padded(token, out) : parse_i64(token, out);
    }
    ParseStatus next_u64(uint64_t& out) noexcept {
        std::string_view token;
        if (!next(token)) return ParseStatus::missing;
        return parse_u64(token, out);
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
        while (p_ != end_ && (w = space_length(p_, end_)) != 0) p_ += w;
        if (p_ == end_) return false;
        const unsigned char* start = p_;
        while (p_ != end_ && space_length(p_, end_) == 0) ++p_;
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

// A 64-bit float: optional sign, then decimal digits with an optional fraction and exponent (at
// least one mantissa digit), or inf, infinity, nan in any letter case; rounded to nearest.
// Fails with ParseStatus::empty or ParseStatus::invalid_digit (shown as float messages).
ParseStatus parse_f64(std::string_view token, double& out) noexcept;
std::string_view float_parse_message(ParseStatus status) noexcept;

// The message for a line that ends before a token the reader needs, e.g.
// "line 7: arc line is missing the cost (token 5)"; tokens count from 0 at the line's letter.
std::string missing_token(uint64_t line_number, std::string_view line_kind, std::string_view what,
                          std::size_t token);

class LineReader;
// The error for a token that failed with `status`: the integer message, or the missing-token
// message naming the reader's current line.
Error token_error(ParseStatus status, const LineReader& reader, std::string_view line_kind, std::string_view what,
                  std::size_t token);

// ---------------------------------------------------------------------------------------------
// The buffered line reader: one 8192-byte buffer, lines end at a line feed (a carriage return
// before it is left for the trimming), the last line needs none. Lines that do not fit the buffer
// are assembled in a side string. Every line is checked to be valid UTF-8 before it is handed out.

class LineReader {
public:
    static constexpr std::size_t kBufferSize = 8192;
    // A line that grows past this many bytes ends the read with an error instead of taking all
    // memory: a stream without line feeds (/dev/zero, /dev/full) never ends its first line.
    static constexpr std::size_t kMaxLineBytes = std::size_t(1) << 28;

    enum class Next : uint8_t { line, end, failed };

    LineReader() = default;
    LineReader(LineReader&& other) noexcept { *this = std::move(other); }
    LineReader& operator=(LineReader&& other) noexcept;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    // Opens `path` for reading; on failure `error()` holds the message.
    bool open(std::string_view path);

    static constexpr uint64_t kUnknownSize = UINT64_MAX;
    // Size of the opened file when it is a regular file, else kUnknownSize: bounds the
    // reservation hints.
    uint64_t file_size() const noexcept { return file_size_; }

    Next next(Line& line) {
        if (long_active_) {
            long_.clear();
            long_active_ = false;
        }
        for (;;) {
            const char* p = buffer_.get() + begin_;
            std::size_t n = end_ - begin_;
            if (const void* nl = n ? std::memchr(p, '\n', n) : nullptr) {
                std::size_t len = std::size_t(static_cast<const char*>(nl) - p);
                begin_ += len + 1;
                if (carrying_long_) return finish_long(p, len, line);
                line = {p, len, buffer_ascii_};
                ++line_number_;
                if (!line.ascii && !valid_utf8(reinterpret_cast<const unsigned char*>(p), len)) return fail_utf8();
                return Next::line;
            }
            if (at_eof_) {
                if (n == 0 && !carrying_long_) return Next::end;
                begin_ = end_;
                if (carrying_long_) return finish_long(p, n, line);
                line = {p, n, buffer_ascii_};
                ++line_number_;
                if (!line.ascii && !valid_utf8(reinterpret_cast<const unsigned char*>(p), n)) return fail_utf8();
                return Next::line;
            }
            if (!refill()) return Next::failed;
        }
    }

    // 1-based number of the line last handed out.
    uint64_t line_number() const noexcept { return line_number_; }
    const std::string& error() const noexcept { return error_; }

private:
    bool refill();
    Next finish_long(const char* p, std::size_t len, Line& line);
    Next fail_utf8() {
        error_ = kInvalidUtf8;
        return Next::failed;
    }

    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool at_eof_ = false;
    bool buffer_ascii_ = true;  // every byte of buffer_[begin_, end_) is below 0x80
    bool carrying_long_ = false;  // the line in progress started in an earlier buffer fill
    bool long_active_ = false;    // the last line handed out lives in long_
    std::string long_;
    uint64_t line_number_ = 0;
    uint64_t file_size_ = kUnknownSize;
    std::string error_;
};

}  // namespace pelmora::utils
