// Native checks of the readers' node table and interrupt handling, driven by tests/test_hostile_files.py:
//   readers_check probes N        hashed insertions stay linear for identifiers chosen to collide
//   readers_check interrupt MIN MCF   a read asked to stop ends with Error::interrupted and closes its file
//   readers_check buddyinfo PAGE      the free 2 MiB blocks in the /proc/buddyinfo text on standard input
// Prints "ok" or the first failure.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "io/arc_index.hpp"
#include "io/files.hpp"

using namespace pelmora;

namespace {

uint64_t inverse(uint64_t a) {  // of an odd number, modulo 2^64 (Newton's iteration)
    uint64_t x = a;
    for (int i = 0; i < 6; ++i) x *= 2 - a * x;
    return x;
}

// Identifiers whose slot under `slot_of` is the first one in every table of up to 2^40 slots.
template <class Unmix>
std::vector<int64_t> colliding(std::size_t n, Unmix unmix) {
    std::vector<int64_t> ids;
    for (uint64_t y = 1; y <= n; ++y) ids.push_back(int64_t(unmix(y)));
    return ids;
}

// Registers every identifier (through arcs id[i] -> id[i + 1], so ends are looked up too) and
// checks the dense numbering and the probe count.
bool linear(io::NodeIndex& index, const std::vector<int64_t>& ids, const char* what) {
    for (std::size_t i = 0; i + 1 < ids.size(); ++i) index.add_arc(ids[i], ids[i + 1]);
    if (!index.finish()) return std::printf("%s: exhausted\n", what), false;
    if (index.nodes() != ids) return std::printf("%s: nodes not in order of first appearance\n", what), false;
    auto ends = index.ends();
    for (std::size_t i = 0; i + 1 < ids.size(); ++i)
        if (ends[2 * i] != i || ends[2 * i + 1] != i + 1)
            return std::printf("%s: wrong ends of arc %zu\n", what, i), false;
    // 2n lookups at a load of at most one half, plus the rehashes: a few probes each. Colliding
    // identifiers in one chain would need about n^2 / 2.
    if (index.probes() > 16 * ids.size())
        return std::printf("%s: %llu probes for %zu nodes\n", what, (unsigned long long)index.probes(), ids.size()),
               false;
    return true;
}

int probes(std::size_t n) {
    // Colliding under the multiplicative hash with the golden-ratio constant.
    const uint64_t fib = inverse(0x9E3779B97F4A7C15ull);
    io::NodeIndex keyed;
    if (!linear(keyed, colliding(n, [&](uint64_t y) { return y * fib; }), "multiplicative")) return 1;

    // Colliding under the table's own hash with a key the attacker knows.
    const uint64_t key = 0x0123456789ABCDEFull, c1 = inverse(0xBF58476D1CE4E5B9ull),
                   c2 = inverse(0x94D049BB133111EBull);
    auto unmix = [&](uint64_t y) {
        uint64_t x = y * c2;
        x ^= x >> 31;
        x ^= x >> 62;
        return (x * c1) ^ key;
    };
    std::vector<int64_t> ids = colliding(n, unmix);
    for (int64_t id : ids)
        if (io::NodeIndex::home_slot(id, key, 64 - 20) != 0) return std::printf("unmix is wrong\n"), 1;
    io::NodeIndex known(key);
    if (!linear(known, ids, "known key")) return 1;
    std::printf("ok\n");
    return 0;
}

std::size_t open_descriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

template <class Read>
bool stops(Read read, const char* what) {
    InterruptPoller poller;
    poller.check = [](void*) noexcept { return true; };
    InterruptScope scope(poller);
    poller.next = {};  // due at the first poll
    const std::size_t before = open_descriptors();
    auto result = read();
    if (result || result.error().kind != Error::Kind::Interrupted)
        return std::printf("%s: not interrupted\n", what), false;
    if (open_descriptors() != before) return std::printf("%s: descriptor left open\n", what), false;
    return true;
}

int interrupt(const char* min_path, const char* mcf_path) {
    if (!stops([&] { return io::parse_min(min_path); }, "parse_min")) return 1;
    if (!stops([&] { return io::parse_multi_min(mcf_path); }, "parse_multi_min")) return 1;
    std::printf("ok\n");
    return 0;
}

int free_blocks(unsigned long page_bytes) {
    std::string text;
    for (int c; (c = std::getchar()) != EOF;) text.push_back(char(c));
    std::printf("%llu\n", (unsigned long long)free_huge_blocks(text, page_bytes));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "probes") == 0) return probes(std::stoul(argv[2]));
    if (argc == 4 && std::strcmp(argv[1], "interrupt") == 0) return interrupt(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "buddyinfo") == 0) return free_blocks(std::stoul(argv[2]));
    return 2;
}
