// Stopping long work on request. A module function runs its routine without the interpreter lock
// and installs a poller on the calling thread (binding/unlocked.hpp); the routine calls
// interrupted() between units of work (a buffer read, a balancing pass, a block of arcs) and, when
// it returns true, ends with Error::interrupted() after releasing what it holds. On a thread with
// no poller (helper threads, native tests, fuzz targets) interrupted() is always false.
#pragma once

#include <chrono>
#include <cstdint>

namespace pelmora {

struct InterruptPoller {
    // Returns true when the call must stop (a signal handler raised). Runs on the polling thread.
    bool (*check)(void* context) = nullptr;
    void* context = nullptr;
    std::chrono::steady_clock::time_point next{};
    bool stopped = false;
};

// The poller is consulted at most this often; callers poll at least every few milliseconds of
// work, so a pending signal is seen well within 50 ms.
inline constexpr std::chrono::milliseconds kInterruptInterval{20};

namespace interrupt_detail {
inline thread_local InterruptPoller* current = nullptr;

inline bool consult(InterruptPoller& p, std::chrono::steady_clock::time_point now) noexcept {
    p.next = now + kInterruptInterval;
    if (!p.stopped && p.check(p.context)) p.stopped = true;
    return p.stopped;
}
}  // namespace interrupt_detail

// Cheap enough to call once per buffer or pass: one clock read while no check is due.
inline bool interrupted() noexcept {
    InterruptPoller* p = interrupt_detail::current;
    if (!p) return false;
    if (p->stopped) return true;
    auto now = std::chrono::steady_clock::now();
    if (now < p->next) return false;
    return interrupt_detail::consult(*p, now);
}

// Checks right away, whatever the interval: after a system call returned EINTR, so that the
// handler of the signal that interrupted it runs before the call is retried.
inline bool interrupted_now() noexcept {
    InterruptPoller* p = interrupt_detail::current;
    if (!p) return false;
    return interrupt_detail::consult(*p, std::chrono::steady_clock::now());
}

// Installs `poller` on this thread for its lifetime (scopes nest; the inner one wins).
class InterruptScope {
public:
    explicit InterruptScope(InterruptPoller& poller) noexcept : previous_(interrupt_detail::current) {
        poller.next = std::chrono::steady_clock::now() + kInterruptInterval;
        interrupt_detail::current = &poller;
    }
    ~InterruptScope() { interrupt_detail::current = previous_; }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    InterruptPoller* previous_;
};

// Asks interrupted() once per so many cells of work rather than once per row: rows may hold a
// single cell, and the question costs a clock read.
class CellPoll {
public:
    bool stop_after(uint64_t cells) {
        done_ += cells;
        if (done_ < kCellsPerPoll) return false;
        done_ = 0;
        return interrupted();
    }

private:
    static constexpr uint64_t kCellsPerPoll = 1 << 16;
    uint64_t done_ = 0;
};

}  // namespace pelmora
