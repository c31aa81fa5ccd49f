// The buffered line reader: one buffer (8192 bytes, 64 KiB for files of a megabyte or more, where
// fewer reads pay off), lines end at a line feed (a carriage return before it is left for the
// trimming), the last line needs none. Lines that do not fit the buffer are assembled in a side
// string. Every line is checked to be valid UTF-8 before it is handed out.
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

#include "utils/os_error.hpp"  // the texts error() holds
#include "io/tokens.hpp"
#include "utils/utf8.hpp"

namespace pelmora::io {

class LineReader {
public:
    static constexpr std::size_t kBufferSize = 8192;
    static constexpr std::size_t kLargeBufferSize = std::size_t(1) << 16;
    static constexpr uint64_t kLargeFileBytes = uint64_t(1) << 20;
    // A line that grows past this many bytes ends the read with an error instead of taking all
    // memory: a stream without line feeds (/dev/zero, /dev/full) never ends its first line.
    static constexpr std::size_t kMaxLineBytes = std::size_t(1) << 28;

    // failed: error() holds the message. interrupted: interrupted() asked the read to stop.
    enum class Next : uint8_t { line, end, failed, interrupted };

    LineReader() = default;
    LineReader(LineReader&& other) noexcept { *this = std::move(other); }
    LineReader& operator=(LineReader&& other) noexcept;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    // Opens `path` for reading; on failure `error()` holds the message.
    bool open(std::string_view path);
    // Reads bytes [begin, end) of the file `whole` has open (a regular file), by position, so that
    // several readers can share its descriptor, which must outlive this reader. Line numbers
    // count on from `lines_before`.
    void open_part(const LineReader& whole, uint64_t begin, uint64_t end, uint64_t lines_before);
    // Ends the read at byte `end` of the file, which must hold a line feed at end - 1; called before
    // the first line is asked for.
    void stop_at(uint64_t end) noexcept { stop_at_ = end; }

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
            if (const char* nl = find_line_feed(p, n)) {
                std::size_t len = std::size_t(nl - p);
                begin_ += len + 1;
                if (carrying_long_) return finish_long(p, len, line);
                line = {p, len, buffer_ascii_};
                ++line_number_;
                if (!line.ascii && !utils::valid_utf8(reinterpret_cast<const unsigned char*>(p), len))
                    return fail_utf8();
                return Next::line;
            }
            if (at_eof_) {
                if (n == 0 && !carrying_long_) return Next::end;
                begin_ = end_;
                if (carrying_long_) return finish_long(p, n, line);
                line = {p, n, buffer_ascii_};
                ++line_number_;
                if (!line.ascii && !utils::valid_utf8(reinterpret_cast<const unsigned char*>(p), n)) return fail_utf8();
                return Next::line;
            }
            if (!refill()) return stopped_ ? Next::interrupted : Next::failed;
        }
    }

    // The unread bytes of the buffer, [begin, end), when they start a line rather than continue
    // one begun in an earlier fill (else both null). A reader may parse whole lines there in
    // place, handing each back with consumed(); kLinePadding bytes past `end` may be read, but
    // only the bytes before it are the file's.
    struct Unread {
        const char* begin;
        const char* end;
    };
    Unread unread() const noexcept {
        if (carrying_long_) return {nullptr, nullptr};
        return {buffer_.get() + begin_, buffer_.get() + end_};
    }
    // The line read in place is done; the next one starts at `next_line`.
    void consumed(const char* next_line) noexcept {
        begin_ = std::size_t(next_line - buffer_.get());
        ++line_number_;
    }

    // The open file's descriptor (for positional reads that leave this reader's place alone).
    int descriptor() const noexcept { return fd_; }

    // 1-based number of the line last handed out.
    uint64_t line_number() const noexcept { return line_number_; }
    const std::string& error() const noexcept { return error_; }

private:
    // The first line feed of p[0, n), or null. Most lines are short: the first 32 bytes are
    // searched in place (the buffer's padding makes them readable), sparing a call per line.
    static const char* find_line_feed(const char* p, std::size_t n) noexcept {
#if defined(__SSE2__)
        const __m128i feed = _mm_set1_epi8('\n');
        const __m128i* at = reinterpret_cast<const __m128i*>(p);
        uint32_t bits = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(at), feed))) |
                        (uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(at + 1), feed))) << 16);
        if (n < 32) bits &= (uint32_t(1) << n) - 1;
        if (bits != 0) return p + __builtin_ctz(bits);
        if (n <= 32) return nullptr;
        return static_cast<const char*>(std::memchr(p + 32, '\n', n - 32));
#else
        return n ? static_cast<const char*>(std::memchr(p, '\n', n)) : nullptr;
#endif
    }
    void allocate_buffer();
    bool refill();
    // Whether a read would return at once (data, end of file or an error are waiting).
    bool readable_now() const noexcept;
    bool fail_too_long();
    Next finish_long(const char* p, std::size_t len, Line& line);
    Next fail_utf8() {
        error_ = utils::kInvalidUtf8;
        return Next::failed;
    }

    int fd_ = -1;
    bool owns_fd_ = true;
    bool positional_ = false;          // pread at position_ rather than read
    uint64_t position_ = 0;            // file offset of the next byte to read
    uint64_t stop_at_ = kUnknownSize;  // file offset where the read ends
    std::unique_ptr<char[]> buffer_;
    std::size_t buffer_size_ = kBufferSize;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool at_eof_ = false;
    bool buffer_ascii_ = true;    // every byte of buffer_[begin_, end_) is below 0x80
    bool stopped_ = false;        // refill() failed because interrupted() said so
    bool carrying_long_ = false;  // the line in progress started in an earlier buffer fill
    bool long_active_ = false;    // the last line handed out lives in long_
    std::string long_;
    uint64_t line_number_ = 0;
    uint64_t file_size_ = kUnknownSize;
    std::string error_;
};

}  // namespace pelmora::io
