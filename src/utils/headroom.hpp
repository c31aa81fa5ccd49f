// How much more memory this process can still be given, for readers whose storage is not bounded
// by the bytes of their file (one compressed multi-commodity arc line stands for K values).
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "core/memory.hpp"

namespace pelmora::utils {

// The smaller of what the system reports available (MemAvailable, else the physical memory) and
// what the address-space limit (RLIMIT_AS) leaves to this process. Reads /proc: ask per growth,
// not per item.
uint64_t allocatable_bytes() noexcept;

// Makes room for `more` further items in `v`: doubling while the memory is there, then by half of
// what is left, so that a file that fits in memory still loads. `expected` (a declared count, only
// believed as far as the items read bear it out) lets the last doubling stop at the exact size.
// False, with `v` unchanged, when not even the exact room can be had.
template <class T, class Allocator>
bool make_room(std::vector<T, Allocator>& v, uint64_t more, uint64_t expected) {
    constexpr uint64_t kAskAbove = uint64_t(64) << 20;  // smaller allocations are taken to succeed
    const uint64_t size = v.size(), capacity = v.capacity();
    uint64_t need;
    if (__builtin_add_overflow(size, more, &need) || need > v.max_size()) return false;
    if (need <= capacity) return true;
    uint64_t want = std::min<uint64_t>(2 * capacity, v.max_size());
    if (expected >= need && expected < want) want = expected;
    if (want < need) want = need;
    if (want * sizeof(T) > kAskAbove) {
        const uint64_t room = allocatable_bytes() / sizeof(T);
        if (need > room) return false;
        if (want > room) want = need + (room - need) / 2;
    }
    try {
        reserve_filled(v, want);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace pelmora::utils
