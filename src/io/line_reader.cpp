#include "io/line_reader.hpp"

#include "core/interrupt.hpp"
#include "utils/os_error.hpp"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelmora::io {

LineReader& LineReader::operator=(LineReader&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0 && owns_fd_) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        owns_fd_ = other.owns_fd_;
        positional_ = other.positional_;
        position_ = other.position_;
        stop_at_ = other.stop_at_;
        buffer_ = std::move(other.buffer_);
        buffer_size_ = other.buffer_size_;
        begin_ = other.begin_;
        end_ = other.end_;
        at_eof_ = other.at_eof_;
        buffer_ascii_ = other.buffer_ascii_;
        stopped_ = other.stopped_;
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
    if (fd_ >= 0 && owns_fd_) ::close(fd_);
}

bool LineReader::open(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        error_ = utils::kNulInPath;
        return false;
    }
    std::string c_path(path);
    int fd;
    do {
        fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR && !interrupted_now());  // a FIFO's open waits for a writer
    if (fd < 0) {
        error_ = utils::os_error_text(errno);
        return false;
    }
    fd_ = fd;
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0) file_size_ = uint64_t(st.st_size);
    allocate_buffer();
    return true;
}

void LineReader::open_part(const LineReader& whole, uint64_t begin, uint64_t end, uint64_t lines_before) {
    if (fd_ >= 0 && owns_fd_) ::close(fd_);
    fd_ = whole.fd_;
    owns_fd_ = false;
    positional_ = true;
    position_ = begin;
    stop_at_ = end;
    file_size_ = end - begin;
    line_number_ = lines_before;
    allocate_buffer();
}

void LineReader::allocate_buffer() {
    buffer_size_ = file_size_ != kUnknownSize && file_size_ >= kLargeFileBytes ? kLargeBufferSize : kBufferSize;
    // Zeroed, with room for reading a whole word past the last byte of a line.
    buffer_.reset(new char[buffer_size_ + kLinePadding]());
}

bool LineReader::refill() {
    // A regular file's read always returns soon, so the timed poll suffices. A pipe's may wait for
    // ever: when it holds nothing yet, the poller is asked right away, or a signal that came while
    // the last buffer was parsed would only be seen after the other end sends more.
    if (file_size_ == kUnknownSize && !readable_now() ? interrupted_now() : interrupted()) {
        stopped_ = true;
        return false;
    }
    std::size_t n = end_ - begin_;
    if (carrying_long_ || (begin_ == 0 && n == buffer_size_)) {
        // No line feed in a full buffer: the line continues in the side string.
        if (long_.size() + n > kMaxLineBytes) return fail_too_long();
        long_.append(buffer_.get() + begin_, n);
        carrying_long_ = true;
        begin_ = end_ = 0;
    } else {
        if (n && begin_) std::memmove(buffer_.get(), buffer_.get() + begin_, n);
        begin_ = 0;
        end_ = n;
    }
    std::size_t room = buffer_size_ - end_;
    if (stop_at_ != kUnknownSize) room = std::size_t(std::min<uint64_t>(room, stop_at_ - position_));
    ssize_t got = 0;
    while (room != 0) {
        got = positional_ ? ::pread(fd_, buffer_.get() + end_, room, off_t(position_))
                          : ::read(fd_, buffer_.get() + end_, room);
        if (got >= 0 || errno != EINTR) break;
        // The signal's handler runs now, not after a stream that may never send another byte.
        if (interrupted_now()) {
            stopped_ = true;
            return false;
        }
    }
    if (got < 0) {
        error_ = utils::os_error_text(errno);
        return false;
    }
    if (got == 0) at_eof_ = true;
    end_ += std::size_t(got);
    position_ += uint64_t(got);

    buffer_ascii_ = utils::all_ascii(reinterpret_cast<const unsigned char*>(buffer_.get()), end_);
    return true;
}

bool LineReader::readable_now() const noexcept {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

bool LineReader::fail_too_long() {
    error_ = "line " + std::to_string(line_number_ + 1) + " is longer than " + std::to_string(kMaxLineBytes) + " bytes";
    return false;
}

LineReader::Next LineReader::finish_long(const char* p, std::size_t len, Line& line) {
    if (long_.size() + len > kMaxLineBytes) {
        fail_too_long();
        return Next::failed;
    }
    long_.append(p, len);
    // Initialised room past the line's end, which the tokenizer may read.
    std::size_t size = long_.size();
    long_.resize(size + kLinePadding);
    long_.resize(size);
    carrying_long_ = false;
    long_active_ = true;
    ++line_number_;
    const auto* bytes = reinterpret_cast<const unsigned char*>(long_.data());
    const bool ascii = utils::all_ascii(bytes, long_.size());
    line = {long_.data(), long_.size(), ascii};
    if (!ascii && !utils::valid_utf8(bytes, long_.size())) return fail_utf8();
    return Next::line;
}

}  // namespace pelmora::io
