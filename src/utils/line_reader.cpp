#include "utils/line_reader.hpp"

#include "core/interrupt.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelmora::utils {

std::string os_error_text(int errnum) {
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(errnum, buffer, sizeof buffer);
    std::string out(text);
    out += " (os error ";
    out += std::to_string(errnum);
    out += ')';
    return out;
}

bool all_ascii(const unsigned char* s, std::size_t n) noexcept {
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

bool valid_utf8(const unsigned char* s, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n) {
        // Skip ASCII eight bytes at a time.
        while (i + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, s + i, 8);
            if (word & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= n) break;
        unsigned char b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t need;
        unsigned char lo = 0x80, hi = 0xBF;  // bounds of the first continuation byte
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            if (b == 0xE0) lo = 0xA0;       // overlong
            else if (b == 0xED) hi = 0x9F;  // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            if (b == 0xF0) lo = 0x90;       // overlong
            else if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (n - i - 1 < need) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (std::size_t k = 2; k <= need; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += need + 1;
    }
    return true;
}

std::string_view parse_message(ParseStatus status) noexcept {
    switch (status) {
        case ParseStatus::empty: return "cannot parse integer from empty string";
        case ParseStatus::invalid_digit: return "invalid digit found in string";
        case ParseStatus::too_large: return "number too large to fit in target type";
        case ParseStatus::too_small: return "number too small to fit in target type";
        case ParseStatus::ok:
        case ParseStatus::missing: break;
    }
    return "";
}

std::string_view float_parse_message(ParseStatus status) noexcept {
    return status == ParseStatus::empty ? "cannot parse float from empty string" : "invalid float literal";
}

std::string missing_token(uint64_t line_number, std::string_view line_kind, std::string_view what,
                          std::size_t token) {
    std::string out = "line " + std::to_string(line_number) + ": ";
    out += line_kind;
    out += " line is missing the ";
    out += what;
    out += " (token " + std::to_string(token) + ")";
    return out;
}

Error token_error(ParseStatus status, const LineReader& reader, std::string_view line_kind, std::string_view what,
                  std::size_t token) {
    if (status == ParseStatus::missing) return Error::io(missing_token(reader.line_number(), line_kind, what, token));
    return Error::io(std::string(parse_message(status)));
}

namespace {

bool equals_ignoring_case(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

locale_t c_locale() noexcept {
    // strtod follows the process locale's decimal point; the file format always uses ".".
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return locale;
}

}  // namespace

ParseStatus parse_f64(std::string_view token, double& out) noexcept {
    if (token.empty()) return ParseStatus::empty;
    std::size_t i = 0;
    bool negative = false;
    if (token[0] == '+' || token[0] == '-') {
        negative = token[0] == '-';
        i = 1;
    }
    std::string_view rest = token.substr(i);
    if (equals_ignoring_case(rest, "inf") || equals_ignoring_case(rest, "infinity")) {
        out = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return ParseStatus::ok;
    }
    if (equals_ignoring_case(rest, "nan")) {
        out = std::copysign(std::numeric_limits<double>::quiet_NaN(), negative ? -1.0 : 1.0);
        return ParseStatus::ok;
    }
    std::size_t digits = 0;
    while (i < token.size() && is_digit(token[i])) ++i, ++digits;
    if (i < token.size() && token[i] == '.') {
        ++i;
        while (i < token.size() && is_digit(token[i])) ++i, ++digits;
    }
    if (digits == 0) return ParseStatus::invalid_digit;
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < token.size() && is_digit(token[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return ParseStatus::invalid_digit;
    }
    if (i != token.size()) return ParseStatus::invalid_digit;
    // The text is now known to be plain decimal, which glibc's strtod rounds correctly, saturating
    // to an infinity or a zero outside the range like the format asks.
    std::string text(token);
    out = strtod_l(text.c_str(), nullptr, c_locale());
    return ParseStatus::ok;
}

// ---------------------------------------------------------------------------------------------

LineReader& LineReader::operator=(LineReader&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        buffer_ = std::move(other.buffer_);
        begin_ = other.begin_;
        end_ = other.end_;
        at_eof_ = other.at_eof_;
        buffer_ascii_ = other.buffer_ascii_;
        carrying_long_ = other.carrying_long_;
        long_active_ = other.long_active_;
        long_ = std::move(other.long_);
        line_number_ = other.line_number_;
        file_size_ = other.file_size_;
        error_ = std::move(other.error_);
    }
    return *this;
}

LineReader::~LineReader() {
    if (fd_ >= 0) ::close(fd_);
}

bool LineReader::open(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        error_ = kNulInPath;
        return false;
    }
    std::string c_path(path);
    int fd;
    do {
        fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR && !interrupted_now());  // a FIFO's open waits for a writer
    if (fd < 0) {
        error_ = os_error_text(errno);
        return false;
    }
    fd_ = fd;
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0) file_size_ = uint64_t(st.st_size);
    // Zeroed, with room for reading a whole word past the last byte of a line.
    buffer_.reset(new char[kBufferSize + kLinePadding]());
    return true;
}

bool LineReader::refill() {
    std::size_t n = end_ - begin_;
    if (carrying_long_ || (begin_ == 0 && n == kBufferSize)) {
        // No line feed in a full buffer: the line continues in the side string.
        if (long_.size() + n > kMaxLineBytes) {
            error_ = "line " + std::to_string(line_number_ + 1) + " is longer than " + std::to_string(kMaxLineBytes) +
                     " bytes";
            return false;
        }
        long_.append(buffer_.get() + begin_, n);
        carrying_long_ = true;
        begin_ = end_ = 0;
    } else {
        if (n && begin_) std::memmove(buffer_.get(), buffer_.get() + begin_, n);
        begin_ = 0;
        end_ = n;
    }
    ssize_t got;
    do {
        got = ::read(fd_, buffer_.get() + end_, kBufferSize - end_);
    } while (got < 0 && errno == EINTR && !interrupted_now());
    if (got < 0) {
        error_ = os_error_text(errno);
        return false;
    }
    if (got == 0) at_eof_ = true;
    end_ += std::size_t(got);

    buffer_ascii_ = all_ascii(reinterpret_cast<const unsigned char*>(buffer_.get()), end_);
    return true;
}

LineReader::Next LineReader::finish_long(const char* p, std::size_t len, Line& line) {
    long_.append(p, len);
    // Initialised room past the line's end, which the tokenizer may read.
    std::size_t size = long_.size();
    long_.resize(size + kLinePadding);
    long_.resize(size);
    carrying_long_ = false;
    long_active_ = true;
    ++line_number_;
    const auto* bytes = reinterpret_cast<const unsigned char*>(long_.data());
    const bool ascii = all_ascii(bytes, long_.size());
    line = {long_.data(), long_.size(), ascii};
    if (!ascii && !valid_utf8(bytes, long_.size())) return fail_utf8();
    return Next::line;
}

}  // namespace pelmora::utils
