#include "core/memory.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace pelmora {

namespace {

constexpr uint64_t kHuge = uint64_t(1) << 21;

enum class HugePages { when_free, always, never };

HugePages requested_policy() noexcept {
    const char* value = std::getenv("PELMORA_HUGE_PAGES");
    if (value != nullptr && std::strcmp(value, "always") == 0) return HugePages::always;
    if (value != nullptr && std::strcmp(value, "never") == 0) return HugePages::never;
    return HugePages::when_free;
}
const HugePages kPolicy = requested_policy();

// The free 2 MiB blocks now; UINT64_MAX where /proc/buddyinfo cannot be read (another system, a
// sandbox), where the hint is given as if they were plenty.
uint64_t free_blocks_now() noexcept {
    const int fd = ::open("/proc/buddyinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return UINT64_MAX;
    char text[16384];  // a line of about 100 bytes per node and zone
    std::size_t got = 0;
    while (got < sizeof text) {
        const ssize_t n = ::read(fd, text + got, sizeof text - got);
        if (n <= 0) break;
        got += std::size_t(n);
    }
    ::close(fd);
    // Whole lines only: on a machine of very many nodes, the zones past the buffer go uncounted.
    const std::string_view read(text, got);
    const std::size_t last_feed = read.rfind('\n');
    if (last_feed == std::string_view::npos) return UINT64_MAX;
    const long page = ::sysconf(_SC_PAGESIZE);
    return free_huge_blocks(read.substr(0, last_feed + 1), page > 0 ? uint64_t(page) : 4096);
}

}  // namespace

uint64_t free_huge_blocks(std::string_view buddyinfo, uint64_t page_bytes) noexcept {
    unsigned huge_order = 0;
    while (huge_order < 63 && (page_bytes << huge_order) < kHuge) ++huge_order;
    // Saturating: below 2^32 blocks of an order, shifted by less than 32, no sum overflows.
    constexpr uint64_t kMost = (uint64_t(1) << 32) - 1;
    uint64_t blocks = 0;
    while (!buddyinfo.empty()) {
        const std::size_t feed = std::min(buddyinfo.find('\n'), buddyinfo.size());
        std::string_view line = buddyinfo.substr(0, feed);
        buddyinfo.remove_prefix(std::min(feed + 1, buddyinfo.size()));
        // "Node 0, zone   Normal   1709    565 ...": the counts follow the zone's name.
        const std::size_t zone = line.find("zone");
        if (zone == std::string_view::npos) continue;
        line.remove_prefix(zone + 4);
        line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
        line.remove_prefix(std::min(line.find(' '), line.size()));
        unsigned order = 0;
        for (std::size_t i = 0; i < line.size();) {
            if (line[i] < '0' || line[i] > '9') {
                ++i;
                continue;
            }
            uint64_t count = 0;
            for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i)
                count = std::min(kMost, count * 10 + uint64_t(line[i] - '0'));
            if (order >= huge_order && order - huge_order < 32)
                blocks = std::min(UINT64_MAX / 2, blocks + (count << (order - huge_order)));
            ++order;
        }
    }
    return blocks;
}

void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
    if (bytes < 2 * kHuge || kPolicy == HugePages::never) return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (end <= begin) return;
    if (kPolicy == HugePages::when_free && free_blocks_now() < (end - begin) / kHuge) return;
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace pelmora
