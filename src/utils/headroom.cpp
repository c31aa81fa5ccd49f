#include "utils/headroom.hpp"

#include <algorithm>
#include <cstdio>

#include <sys/resource.h>
#include <unistd.h>

namespace pelmora::utils {

namespace {

uint64_t system_available() noexcept {
    if (FILE* f = std::fopen("/proc/meminfo", "re")) {
        char line[256];
        unsigned long long kib = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f))
            found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
        std::fclose(f);
        if (found) return uint64_t(kib) * 1024;
    }
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return UINT64_MAX;
    return uint64_t(pages) * uint64_t(page_size);
}

uint64_t address_space_left() noexcept {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    unsigned long long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "re")) {
        if (std::fscanf(f, "%llu", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    const uint64_t used = uint64_t(pages) * uint64_t(::sysconf(_SC_PAGESIZE));
    return used >= limit.rlim_cur ? 0 : uint64_t(limit.rlim_cur) - used;
}

}  // namespace

uint64_t allocatable_bytes() noexcept { return std::min(system_available(), address_space_left()); }

}  // namespace pelmora::utils
