// Large buffers that are filled right after they are reserved.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include <sys/mman.h>

namespace pelmora {

// rows * per_row cells of int64, or std::bad_alloc when that cannot be allocated at all: a
// std::length_error from the vector would otherwise escape, and the boundary maps only bad_alloc
// (to MemoryError).
inline std::size_t checked_cells(std::size_t rows, uint64_t per_row) {
    constexpr uint64_t limit = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(int64_t);
    if (per_row != 0 && rows > limit / per_row) throw std::bad_alloc();
    return rows * static_cast<std::size_t>(per_row);
}

// Asks the kernel for huge pages behind a large buffer that is about to be filled: filling it
// then costs one page fault per 2 MiB instead of one per 4 KiB. Only a hint; failures are ignored.
// Kept on a busy machine too (bench/bench_huge_pages.py, a 1M-arc file loaded in fresh processes):
// with a spinning process on each core the median load took 52 ms with the hint against 67 ms
// without it (six times the page faults), and with another program holding all but 2 GiB of the
// memory in scattered pages 31 ms against 41 ms. The zeroing of fresh pages costs the same either
// way; what the hint can cost is the odd load that waits on the kernel for its huge pages (the
// slowest of 15 took 144 ms against 46 ms without), which the medians outweigh.
inline void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
    constexpr uintptr_t kHuge = uintptr_t(1) << 21;
    if (bytes < 2 * kHuge) return;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Reserves room for n elements, on huge pages when it is large.
template <class T, class Allocator>
void reserve_filled(std::vector<T, Allocator>& v, std::size_t n) {
    if (n <= v.capacity()) return;
    v.reserve(n);
    advise_huge_pages(v.data(), v.capacity() * sizeof(T));
}

// grow_filled's growth, out of the line: readers call grow_filled once per record.
template <class T, class Allocator>
[[gnu::noinline]] void grow_filled_slow(std::vector<T, Allocator>& v, std::size_t need, uint64_t expected) {
    std::size_t want = std::max<std::size_t>(2 * v.capacity(), 64);
    if (expected >= need && expected < want) want = std::size_t(expected);
    if (want < need) want = need;
    reserve_filled(v, want);
}

// Makes room for `more` further items once `v` is full: doubling, on huge pages when large, but
// stopping at `expected` (a declared count) when that is the next size up. A declared count is
// believed only as far as the items read bear it out, so a file that overstates it costs at most
// twice what it holds, and an honest one is copied once past its up-front reservation.
template <class T, class Allocator>
[[gnu::always_inline]] inline void grow_filled(std::vector<T, Allocator>& v, std::size_t more, uint64_t expected) {
    const std::size_t need = v.size() + more;
    if (need > v.capacity()) [[unlikely]]
        grow_filled_slow(v, need, expected);
}

// Gives back the room a vector grew into beyond its final size (a wrong or missing hint).
template <class T, class Allocator>
void trim_slack(std::vector<T, Allocator>& v) {
    if (v.capacity() - v.size() > v.size() / 8 + 64) v.shrink_to_fit();
}

}  // namespace pelmora
