// The multi-commodity file writer (export_to_dimacs).
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "core/interrupt.hpp"
#include "utils/files.hpp"
#include "utils/float_text.hpp"
#include "utils/line_reader.hpp"

namespace pelmora::utils {

namespace {

using models::MultiCommodityData;
using models::NetworkInstance;

// Longest decimal text of a 64-bit integer, sign included.
constexpr std::size_t kMaxIntText = 20;

struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text() {
        for (int i = 0; i < 100; ++i) {
            text[2 * i] = char('0' + i / 10);
            text[2 * i + 1] = char('0' + i % 10);
        }
    }
};
constexpr DigitPairs kDigitPairs{};

constexpr uint64_t kPowersOf10[20] = {1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull,
                                      100000000ull, 1000000000ull, 10000000000ull, 100000000000ull,
                                      1000000000000ull, 10000000000000ull, 100000000000000ull,
                                      1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
                                      1000000000000000000ull, 10000000000000000000ull};

// Number of decimal digits of v, without a data-dependent loop: log10 estimated from the bit
// length (1233 / 4096 ~ log10(2)), corrected by one comparison. (v | 1 has as many digits as v
// and is never 0.)
inline unsigned decimal_length(uint64_t v) noexcept {
    v |= 1;
    unsigned bits = 64 - unsigned(__builtin_clzll(v));
    unsigned estimate = (bits * 1233) >> 12;
    return estimate + (v >= kPowersOf10[estimate]);
}

// Decimal text of v at out, two digits per step from the end; returns the end of the text.
inline char* write_decimal(char* out, uint64_t v) noexcept {
    char* end = out + decimal_length(v);
    char* p = end;
    while (v >= 100) {
        unsigned pair = unsigned(v % 100);
        v /= 100;
        p -= 2;
        std::memcpy(p, kDigitPairs.text + 2 * pair, 2);
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, kDigitPairs.text + 2 * v, 2);
    } else {
        *--p = char('0' + v);
    }
    return end;
}

inline char* write_decimal(char* out, int64_t v) noexcept {
    if (v < 0) {
        *out++ = '-';
        return write_decimal(out, uint64_t(0) - uint64_t(v));
    }
    return write_decimal(out, uint64_t(v));
}

// The eight decimal digits of v < 10^8 as byte values 0..9, most significant first in memory
// (leading zeros included): both halves of four digits are split into hundreds, then tens, side by side
// in one word, with multiplications by reciprocals that are exact in this range.
inline uint64_t eight_digits(uint32_t v) noexcept {
    uint64_t merged = uint64_t(v / 10000) | (uint64_t(v % 10000) << 32);
    uint64_t hundreds_of = ((merged * 10486ull) >> 20) & ((0x7Full << 32) | 0x7Full);
    uint64_t hundreds = ((merged - 100ull * hundreds_of) << 16) + hundreds_of;
    uint64_t tens = ((hundreds * 103ull) >> 10) & ((0xFull << 48) | (0xFull << 32) | (0xFull << 16) | 0xFull);
    tens += (hundreds - 10ull * tens) << 8;
    return tens;
}

// Decimal text of v at out, where 8 bytes from out may be written whatever the length: values
// below 10^8 (nearly all) take one store and no data-dependent branch. Returns the text's end.
inline char* write_decimal_wide(char* out, int64_t v) noexcept {
    uint64_t magnitude = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
    *out = '-';
    out += v < 0;
    if (magnitude < 100000000) [[likely]] {
        uint64_t digits = eight_digits(uint32_t(magnitude));
        // Leading zero digits are the low zero bytes; the last digit always stays.
        unsigned leading_bits = unsigned(__builtin_ctzll(digits | (uint64_t(1) << 56))) & ~7u;
        uint64_t text = (digits + 0x3030303030303030ull) >> leading_bits;
        std::memcpy(out, &text, 8);
        return out + 8 - leading_bits / 8;
    }
    return write_decimal(out, magnitude);
}

// Output through 8192-byte buffers handed to the file whenever one fills. The first failure
// sticks: later writes are dropped and the caller reports it.
//
// A line whose longest possible text fits a buffer is formatted in place without per-value
// checks: line_room() makes room for it once (handing the file what the buffer holds, as a
// buffered writer does when the next piece does not fit), the writes go through a cursor, and
// end_line() takes the cursor back.
//
// A write call costs about half as much as formatting the text it carries (copying into the page
// cache, and a system call per buffer). Once a file has grown past a few buffers, a helper thread
// makes the write calls while the caller formats: full buffers queue in a ring and the helper
// hands each run of them to the file in one gathered write, in order. The helper sleeps while the
// queue is short and is woken only when half the ring is waiting, so that a wake-up is paid per
// several buffers. Small files never start it. The helper touches nothing but the queued buffers
// and the descriptor.
class BufferedFile {
public:
    static constexpr std::size_t kCapacity = 8192;

    // A pipe or FIFO blocks a write for as long as its reader pauses. Written without blocking, the
    // writes wait in poll() a poll interval at a time, so a stop is seen meanwhile.
    explicit BufferedFile(int fd) : fd_(fd), slots_(new Slot[kRing]) {
        struct stat st;
        if (::fstat(fd_, &st) == 0 && !S_ISREG(st.st_mode)) {
            const int flags = ::fcntl(fd_, F_GETFL);
            if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
        }
    }
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;
    ~BufferedFile() {
        stop_writer();
        ::close(fd_);
    }

    bool failed() const noexcept {
        return failed_.load(std::memory_order_acquire) || stopped_.load(std::memory_order_acquire);
    }
    // The first failure's message; read it after finish().
    const std::string& error() const noexcept { return error_; }

    void put(char c) {
        if (used_ == kCapacity) flush();
        buffer_[used_++] = c;
    }
    void put(std::string_view text) {
        while (text.size() > kCapacity - used_) {
            std::size_t part = kCapacity - used_;
            std::memcpy(buffer_ + used_, text.data(), part);
            used_ = kCapacity;
            text.remove_prefix(part);
            flush();
        }
        std::memcpy(buffer_ + used_, text.data(), text.size());
        used_ += text.size();
    }
    template <class Int>
    void put_int(Int value) {
        if (kCapacity - used_ < kMaxIntText) flush();
        used_ = std::size_t(write_decimal(buffer_ + used_, value) - buffer_);
    }
    // The values joined by single spaces.
    void put_joined(const int64_t* values, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (kCapacity - used_ < kMaxIntText + 1) flush();
            char* out = buffer_ + used_;
            if (i) *out++ = ' ';
            used_ = std::size_t(write_decimal(out, values[i]) - buffer_);
        }
    }

    // A cursor with room for `bytes` (at most kCapacity) more bytes.
    char* line_room(std::size_t bytes) {
        if (kCapacity - used_ < bytes) flush();
        return buffer_ + used_;
    }
    void end_line(char* cursor) noexcept { used_ = std::size_t(cursor - buffer_); }

    // Polled once per buffer, on the caller's thread: a stop drops the rest like a failure, and
    // the caller's Error::interrupted() replaces the message anyway.
    void flush() {
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
    // Hands the file everything and waits for the writes to end.
    void finish() {
        flush();
        stop_writer();
    }

private:
    // Files up to this many buffers are written by the caller alone.
    static constexpr unsigned kInlineFlushes = 16;
    static constexpr std::size_t kRing = 16;
    struct Slot {
        char data[kCapacity + 8];  // write_decimal_wide may store 8 bytes at the last digit's place
        std::size_t size;
    };

    bool start_writer() noexcept {
        try {
            writer_ = std::thread([this] { drain(); });
            return true;
        } catch (...) {  // no thread to be had: the caller keeps writing
            inline_flushes_ = 0;
            return false;
        }
    }
    void drain() {
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
    void stop_writer() noexcept {
        if (!writer_.joinable()) return;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        work_.notify_one();
        writer_.join();
    }

    // Called by one thread at a time: the caller until the helper starts, the helper after.
    void write_all(const iovec* parts, int count) {
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
                fail(os_error_text(errno));
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
    // Waits until the descriptor takes more or a poll interval has passed. Polls for a stop on
    // the caller's thread; the helper's loop sees the caller's stop through failed().
    void await_room() {
        pollfd ready{fd_, POLLOUT, 0};
        const int got = ::poll(&ready, 1, int(kInterruptInterval.count()));
        if (got < 0 && errno == EINTR ? interrupted_now() : interrupted())
            stopped_.store(true, std::memory_order_release);
    }
    void fail(std::string message) {
        error_ = std::move(message);
        failed_.store(true, std::memory_order_release);
    }

    int fd_;
    std::unique_ptr<Slot[]> slots_;  // not zeroed: untouched slots cost no memory
    char* buffer_ = slots_[0].data;
    std::size_t used_ = 0;
    unsigned inline_flushes_ = 0;
    std::atomic<bool> failed_{false};
    std::atomic<bool> stopped_{false};  // set by the caller's thread only
    std::string error_;

    std::mutex mutex_;  // guards the counters and flags below
    std::condition_variable work_;  // the helper waits for buffers
    std::condition_variable room_;  // the caller waits for a free slot
    uint64_t produced_ = 0;  // buffers queued so far (written by the caller)
    uint64_t consumed_ = 0;  // buffers written so far (written by the helper)
    bool writer_sleeping_ = false;
    bool caller_waiting_ = false;
    bool stopping_ = false;
    std::thread writer_;
};

// Writes a space, then the values joined by single spaces (nothing more when n is 0), at the
// cursor; needs room for 1 + n * (kMaxIntText + 1) + 8 bytes.
inline char* put_field(char* out, const int64_t* values, std::size_t n) noexcept {
    *out++ = ' ';
    for (std::size_t i = 0; i < n; ++i) {
        out = write_decimal_wide(out, values[i]);
        *out++ = ' ';
    }
    return out - (n != 0);
}

std::string misfit(const std::string& why) { return "data set does not fit the network: " + why; }

// The writer reads capacities_by_arc[a] and weights_by_arc[a] for every arc position a of the
// network, and the first value of each where a group is compressed. Checked before the file is
// touched, so that a mismatched pair of records never leaves a half-written or truncated file.
Outcome<void> check_fits(const NetworkInstance& instance, const MultiCommodityData& data, bool caps_expanded,
                         bool costs_expanded) {
    const uint64_t k = data.num_commodities;
    const uint64_t data_arcs = data.arcs.size();
    uint64_t values;
    if (__builtin_mul_overflow(data_arcs, k, &values) || data.arc_capacities.size() != values ||
        data.costs.size() != values)
        return Error::value(misfit("its per-arc capacity and cost lists do not hold K values per arc"));
    const models::ListMap& partition = data.supply_partition;
    bool partition_ok = partition.offsets.size() == partition.keys.size() + 1 && partition.offsets.front() == 0 &&
                        partition.offsets.back() == partition.values.size();
    for (std::size_t i = 1; partition_ok && i < partition.offsets.size(); ++i)
        partition_ok = partition.offsets[i - 1] <= partition.offsets[i];
    if (!partition_ok) return Error::value(misfit("its supply partition is malformed"));
    const uint64_t m = instance.edges.size();
    if (m > data_arcs)
        return Error::value(misfit("it holds capacities and costs for " + std::to_string(data_arcs) +
                                   " arcs, the network has " + std::to_string(m)));
    if (m != 0 && k == 0 && !(caps_expanded && costs_expanded))
        return Error::value(misfit(std::string("with 0 commodities the compressed ") +
                                   (caps_expanded ? "cost" : "capacity") + " group has no value to write"));
    return {};
}

}  // namespace

Outcome<void> export_to_dimacs(std::string_view path, const NetworkInstance& instance,
                               const MultiCommodityData& data) {
    const bool caps_expanded = data.randomized_capacities || data.cap_zero;
    const bool costs_expanded = data.randomized_weights;
    if (Outcome<void> fits = check_fits(instance, data, caps_expanded, costs_expanded); !fits) return fits;

    if (path.find('\0') != std::string_view::npos) return Error::io(std::string(kNulInPath));
    std::string c_path(path);
    int fd;
    do {
        fd = ::open(c_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR && !interrupted_now());  // a FIFO's open waits for a reader
    if (fd < 0) return errno == EINTR ? Error::interrupted() : Error::io(os_error_text(errno));
    auto out = std::make_unique<BufferedFile>(fd);

    const uint64_t k = data.num_commodities;
    const uint64_t seed = (data.method == 1 && !data.randomized_capacities && !data.randomized_weights) ? 0 : data.seed;
    char float_text[kMaxFloatText];

    out->put("c Multicommodity flow generated by pelmora\n");
    out->put("p min ");
    out->put_int(instance.num_nodes);
    out->put(' ');
    out->put_int(instance.num_arcs);
    out->put(' ');
    out->put_int(k);
    out->put(data.randomized_capacities ? " 1 " : " 0 ");
    out->put(data.randomized_weights ? "1 " : "0 ");
    out->put_int(data.method);
    out->put(data.cap_zero ? " 1 " : " 0 ");
    out->put(format_float(data.cap_zero_param, float_text));
    out->put(' ');
    out->put_int(seed);
    out->put('\n');

    // Longest text of a line of `fields` put_field groups holding `values` integers in all: the
    // letter, a space per group, each value and a space after it, the line feed, and the slack of
    // the last 8-byte store.
    constexpr std::size_t kFast = BufferedFile::kCapacity;
    auto longest_line = [](std::size_t fields, std::size_t values) {
        return values > kFast ? SIZE_MAX : 1 + fields + values * (kMaxIntText + 1) + 1 + 8;
    };

    const models::ListMap& partition = data.supply_partition;
    for (std::size_t i = 0; i < partition.size() && !out->failed(); ++i) {
        std::span<const int64_t> row = partition.row(i);
        uint64_t total = 0;  // wraps like the release-mode sum of the original tool
        for (int64_t v : row) total += uint64_t(v);
        if (const std::size_t longest = longest_line(2, 2 + row.size()); longest <= kFast) {
            char* cursor = out->line_room(longest);
            const int64_t head[2] = {partition.keys[i], int64_t(total)};
            *cursor++ = 'n';
            cursor = put_field(cursor, head, 2);
            cursor = put_field(cursor, row.data(), row.size());
            *cursor++ = '\n';
            out->end_line(cursor);
            continue;
        }
        out->put("n ");
        out->put_int(partition.keys[i]);
        out->put(' ');
        out->put_int(int64_t(total));
        out->put(' ');
        out->put_joined(row.data(), row.size());
        out->put('\n');
    }

    const std::size_t cap_count = caps_expanded ? k : 1;
    const std::size_t cost_count = costs_expanded ? k : 1;
    const std::size_t m = instance.edges.size();
    const std::size_t longest_arc_line = longest_line(3, 4 + cap_count + cost_count);
    for (std::size_t a = 0; a < m; ++a) {
        const models::Edge& e = instance.edges[a];
        const int64_t* caps = data.arc_capacities.data() + a * k;
        const int64_t* costs = data.costs.data() + a * k;
        if (longest_arc_line <= kFast) [[likely]] {
            char* cursor = out->line_room(longest_arc_line);
            *cursor++ = 'a';
            static_assert(offsetof(models::Edge, up) == offsetof(models::Edge, tail) + 3 * sizeof(int64_t));
            cursor = put_field(cursor, &e.tail, 4);  // tail, head, low, up lie side by side
            cursor = put_field(cursor, caps, cap_count);
            cursor = put_field(cursor, costs, cost_count);
            *cursor++ = '\n';
            out->end_line(cursor);
        } else {
            out->put("a ");
            out->put_int(e.tail);
            out->put(' ');
            out->put_int(e.head);
            out->put(' ');
            out->put_int(e.low);
            out->put(' ');
            out->put_int(e.up);
            out->put(' ');
            out->put_joined(caps, cap_count);
            out->put(' ');
            out->put_joined(costs, cost_count);
            out->put('\n');
        }
        if ((a & 1023) == 0 && out->failed()) break;
    }
    out->finish();
    if (out->failed()) return Error::io(out->error());
    return {};
}

}  // namespace pelmora::utils
