// Output to a file descriptor through 8192-byte buffers handed to the file whenever one fills.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

struct iovec;

namespace pelmora::io {

// The first failure sticks: later writes are dropped and the caller reports it (failed(), error()).
//
// Text is formatted in place through a cursor: line_room() makes room for the longest text the
// caller may write (handing the file what the buffer holds, as a buffered writer does when the next
// piece does not fit), the caller writes through the cursor without per-byte checks, and
// end_line() takes the cursor back.
//
// A write call costs about half as much as formatting the text it carries (copying into the page
// cache, and a system call per buffer). Once a file has grown past a few buffers, a helper thread
// makes the write calls while the caller formats: full buffers queue in a ring and the helper
// hands each run of them to the file in one gathered write, in order. The helper sleeps while the
// queue is short and is woken only when half the ring is waiting, so that a wake-up is paid per
// several buffers. Small files never start it. The helper touches nothing but the queued buffers
// and the descriptor.
//
// The caller's thread polls interrupted() once per buffer and while it waits; a stop drops the
// rest like a failure (the caller reports Error::interrupted() instead of error()).
class BufferedFile {
public:
    static constexpr std::size_t kCapacity = 8192;
    // Bytes past the end of the room asked for that a cursor may store into without keeping them
    // (a formatter that writes whole 8-byte words).
    static constexpr std::size_t kSlack = 8;

    // Takes ownership of `fd` and closes it when destroyed.
    explicit BufferedFile(int fd);
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;
    ~BufferedFile();

    bool failed() const noexcept {
        return failed_.load(std::memory_order_acquire) || stopped_.load(std::memory_order_acquire);
    }
    // The first failure's message; read it after finish().
    const std::string& error() const noexcept { return error_; }

    void put(std::string_view text) {
        while (text.size() > kCapacity - used_) {
            std::size_t part = kCapacity - used_;
            std::memcpy(buffer_ + used_, text.data(), part);
            used_ = kCapacity;
            text.remove_prefix(part);
            flush();
        }
        std::copy(text.begin(), text.end(), buffer_ + used_);  // an empty view may hold a null pointer
        used_ += text.size();
    }

    // A cursor with room for `bytes` (at most kCapacity) more bytes.
    char* line_room(std::size_t bytes) {
        if (kCapacity - used_ < bytes) flush();
        return buffer_ + used_;
    }
    // The cursor itself, or one into an empty buffer after handing the file everything before it,
    // when fewer than `bytes` (at most kCapacity) bytes are left after it.
    char* room_at(char* cursor, std::size_t bytes) {
        if (std::size_t(buffer_ + kCapacity - cursor) >= bytes) [[likely]]
            return cursor;
        end_line(cursor);
        flush();
        return buffer_;
    }
    void end_line(char* cursor) noexcept { used_ = std::size_t(cursor - buffer_); }

    void flush();
    // Hands the file everything and waits for the writes to end.
    void finish();

private:
    // Files up to this many buffers are written by the caller alone.
    static constexpr unsigned kInlineFlushes = 16;
    // A wake-up of the helper costs a few microseconds on a busy machine; woken per half ring, at
    // 512 KiB it is paid once per some 64 buffers rather than 8.
    static constexpr std::size_t kRing = 128;
    struct Slot {
        char data[kCapacity + kSlack];
        std::size_t size;
    };

    bool start_writer() noexcept;
    void drain();
    void stop_writer() noexcept;
    // Called by one thread at a time: the caller until the helper starts, the helper after.
    void write_all(const iovec* parts, int count);
    // Waits until the descriptor takes more or a poll interval has passed.
    void await_room();
    void fail(std::string message);

    int fd_;
    std::unique_ptr<Slot[]> slots_;  // not zeroed: untouched slots cost no memory
    char* buffer_ = slots_[0].data;
    std::size_t used_ = 0;
    unsigned inline_flushes_ = 0;
    std::atomic<bool> failed_{false};
    std::atomic<bool> stopped_{false};  // set by the caller's thread only: interrupted() said stop
    std::string error_;

    std::mutex mutex_;              // guards the counters and flags below
    std::condition_variable work_;  // the helper waits for buffers
    std::condition_variable room_;  // the caller waits for a free slot
    uint64_t produced_ = 0;         // buffers queued so far (written by the caller)
    uint64_t consumed_ = 0;         // buffers written so far (written by the helper)
    bool writer_sleeping_ = false;
    bool caller_waiting_ = false;
    bool stopping_ = false;
    std::thread writer_;
};

// Creates or truncates `path` (a C string: no NUL inside) for writing. Returns the descriptor, or
// -1 with errno set; EINTR when interrupted() said stop while the open waited (a FIFO's open waits
// for a reader).
int open_for_writing(const std::string& path) noexcept;

}  // namespace pelmora::io
