#include "io/buffered_file.hpp"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "core/interrupt.hpp"
#include "utils/os_error.hpp"

namespace pelmora::io {

// A pipe or FIFO blocks a write for as long as its reader pauses. Written without blocking, the
// writes wait in poll() a poll interval at a time, so a stop is seen meanwhile.
BufferedFile::BufferedFile(int fd) : fd_(fd), slots_(new Slot[kRing]) {
    struct stat st;
    if (::fstat(fd_, &st) == 0 && !S_ISREG(st.st_mode)) {
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    }
}

BufferedFile::~BufferedFile() {
    stop_writer();
    ::close(fd_);
}

void BufferedFile::flush() {
    if (used_ == 0) return;
    if (interrupted()) stopped_.store(true, std::memory_order_release);
    if (!writer_.joinable() && (inline_flushes_ < kInlineFlushes || !start_writer())) {
        ++inline_flushes_;
        const iovec whole{buffer_, used_};
        write_all(&whole, 1);
        used_ = 0;
        return;
    }
    slots_[produced_ % kRing].size = used_;
    {
        std::unique_lock lock(mutex_);
        ++produced_;
        if (writer_sleeping_ && produced_ - consumed_ >= kRing / 2) work_.notify_one();
        while (produced_ - consumed_ == kRing) {  // the slot to fill next is still queued
            caller_waiting_ = true;
            // Once stopped, the helper drops what is queued, so room comes soon after.
            if (room_.wait_for(lock, kInterruptInterval) == std::cv_status::timeout && interrupted())
                stopped_.store(true, std::memory_order_release);
            caller_waiting_ = false;
        }
    }
    buffer_ = slots_[produced_ % kRing].data;
    used_ = 0;
}

void BufferedFile::finish() {
    flush();
    stop_writer();
}

bool BufferedFile::start_writer() noexcept {
    try {
        writer_ = std::thread([this] { drain(); });
        return true;
    } catch (...) {  // no thread to be had: the caller keeps writing
        inline_flushes_ = 0;
        return false;
    }
}

void BufferedFile::drain() {
    std::unique_lock lock(mutex_);
    for (;;) {
        while (consumed_ == produced_ && !stopping_) {
            writer_sleeping_ = true;
            work_.wait(lock);
            writer_sleeping_ = false;
        }
        if (consumed_ == produced_) return;
        const uint64_t first = consumed_, last = produced_;
        lock.unlock();
        iovec parts[kRing];
        int count = 0;
        for (uint64_t i = first; i != last; ++i) {
            Slot& slot = slots_[i % kRing];
            parts[count++] = {slot.data, slot.size};
        }
        write_all(parts, count);
        lock.lock();
        consumed_ = last;
        if (caller_waiting_) room_.notify_one();
    }
}

void BufferedFile::stop_writer() noexcept {
    if (!writer_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    writer_.join();
}

void BufferedFile::write_all(const iovec* parts, int count) {
    iovec rest[kRing];
    std::memcpy(rest, parts, sizeof(iovec) * std::size_t(count));
    iovec* next = rest;
    while (count != 0 && !failed()) {
        ssize_t done = ::writev(fd_, next, count);
        if (done < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                await_room();
                continue;
            }
            // On the caller's thread a signal's handler may ask to stop; a helper thread has no
            // poller and retries.
            if (errno == EINTR && !interrupted_now()) continue;
            fail(utils::os_error_text(errno));
        } else if (done == 0) {
            fail("failed to write whole buffer");
        } else {
            auto left = std::size_t(done);
            while (count != 0 && left >= next->iov_len) {
                left -= next->iov_len;
                ++next;
                --count;
            }
            if (count != 0) {
                next->iov_base = static_cast<char*>(next->iov_base) + left;
                next->iov_len -= left;
            }
        }
    }
}

// Polls for a stop on the caller's thread; the helper's loop sees the caller's stop through failed().
void BufferedFile::await_room() {
    pollfd ready{fd_, POLLOUT, 0};
    const int got = ::poll(&ready, 1, int(kInterruptInterval.count()));
    if (got < 0 && errno == EINTR ? interrupted_now() : interrupted()) stopped_.store(true, std::memory_order_release);
}

void BufferedFile::fail(std::string message) {
    error_ = std::move(message);
    failed_.store(true, std::memory_order_release);
}

int open_for_writing(const std::string& path) noexcept {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR && !interrupted_now());
    return fd;
}

}  // namespace pelmora::io
