// Large buffers that are filled right after they are reserved.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string_view>
#include <vector>

namespace pelmora {

// rows * per_row cells of int64, or std::bad_alloc when that cannot be allocated at all: a
// std::length_error from the vector would otherwise escape, and the boundary maps only bad_alloc
// (to MemoryError).
inline std::size_t checked_cells(std::size_t rows, uint64_t per_row) {
    constexpr uint64_t limit = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(int64_t);
    if (per_row != 0 && rows > limit / per_row) throw std::bad_alloc();
    return rows * static_cast<std::size_t>(per_row);
}

// The free memory of the kernel's page allocator in blocks of 2 MiB or more, counted in 2 MiB
// blocks, from the text of /proc/buddyinfo (a line per node and zone: the node, the zone's name,
// then how many blocks of each order are free, from single pages of `page_bytes` up).
uint64_t free_huge_blocks(std::string_view buddyinfo, uint64_t page_bytes) noexcept;

// Asks the kernel for huge pages behind a large buffer that is about to be filled: filling it
// then costs one page fault per 2 MiB instead of one per 4 KiB. Only a hint; failures are ignored.
//
// It is asked only while the kernel has free 2 MiB blocks enough for the buffer: without them a
// huge page has to be assembled in the page fault, by moving other pages out of the way, and on a
// machine whose other programs hold nearly all of the memory in scattered pages that costs what
// it saves (a 1M-arc load: 42 ms this way, 44 ms asking regardless, 43 ms never asking). With free
// blocks at hand it is the clear gain, on a quiet machine (32 against 44 ms never asking), with
// every core busy (54 against 72 ms) and with all but 2 GiB held (35 against 44 ms): six times
// fewer page faults (bench/bench_huge_pages.py, medians of fresh processes).
// PELMORA_HUGE_PAGES=always (or never), read when the library is loaded, overrides the check.
void advise_huge_pages(const void* data, std::size_t bytes) noexcept;

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
