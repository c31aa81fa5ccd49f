// Throughput of the generator: next_u64 through StdRng (the vector refill behind the block
// buffer), next_u32, and the bare refills of the vector and the scalar ChaCha code.
// Usage: rng_bench [mebibytes]   (default 512 per measurement)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "random/chacha.hpp"
#include "random/random.hpp"

namespace {

using Clock = std::chrono::steady_clock;

template <class Body>
void report(const char* name, uint64_t bytes, Body body) {
    const auto start = Clock::now();
    const uint64_t sink = body();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // The sink keeps the compiler from dropping the loop; printing it costs nothing.
    std::printf("%-22s %8.3f GB/s  (%.0f MiB in %.3f s, sink %016llx)\n", name, bytes / seconds / 1e9,
                bytes / 1048576.0, seconds, static_cast<unsigned long long>(sink));
}

}  // namespace

int main(int argc, char** argv) {
    namespace rnd = pelmora::rnd;
    const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 512;
    const uint64_t bytes = megabytes << 20;

    report("StdRng::next_u64", bytes, [&] {
        auto rng = rnd::StdRng::seed_from_u64(42);
        uint64_t acc = 0;
        for (uint64_t i = 0; i < bytes / 8; ++i) acc ^= rng.next_u64();
        return acc;
    });
    report("StdRng::next_u32", bytes, [&] {
        auto rng = rnd::StdRng::seed_from_u64(42);
        uint64_t acc = 0;
        for (uint64_t i = 0; i < bytes / 4; ++i) acc += rng.next_u32();
        return acc;
    });

    const uint32_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    alignas(32) uint32_t eight[rnd::chacha::kRefill8Words];
    report(rnd::chacha::has_avx2_path() ? "refill8 (AVX2)" : "refill8 (two refill4)", bytes, [&] {
        uint64_t acc = 0;
        for (uint64_t b = 0; b < bytes / sizeof eight; ++b) {
            rnd::chacha::refill8(key, 8 * b, eight);
            acc ^= eight[b % 128];
        }
        return acc;
    });
    alignas(16) uint32_t out[rnd::chacha::kRefillWords];
    const uint64_t refills = bytes / sizeof out;
    report(rnd::chacha::has_vector_path() ? "refill4 (vector)" : "refill4 (no vectors)", bytes, [&] {
        uint64_t acc = 0;
        for (uint64_t b = 0; b < refills; ++b) {
            rnd::chacha::refill4_vector(key, 4 * b, out);
            acc ^= out[b % 64];
        }
        return acc;
    });
    report("refill4 (scalar)", bytes, [&] {
        uint64_t acc = 0;
        for (uint64_t b = 0; b < refills; ++b) {
            rnd::chacha::refill4_scalar(key, 4 * b, out);
            acc ^= out[b % 64];
        }
        return acc;
    });
}
