// A C++ port of the random streams of the Rust crates rand 0.9 (StdRng = ChaCha12 behind
// rand_core's block buffer, seeded by seed_from_u64; the random_range samplers) and
// rand_distr 0.5.1 (Beta, Binomial). Every function reproduces the crates bit for bit.
#pragma once

#include <cstdint>
#include <optional>

namespace pelmora::rnd {

class StdRng {
public:
    static StdRng seed_from_u64(uint64_t seed) noexcept;
    uint32_t next_u32() noexcept;
    uint64_t next_u64() noexcept;
    // Advances the stream by `words` 32-bit words, exactly as that many next_u32 calls would.
    void discard_u32(uint64_t words) noexcept;

private:
    // (filled in by the implementation: key, block counter, 64-word buffer, read index)
};

// rng.random_range(lo..hi) over f64. Requires lo < hi and a finite hi - lo.
double random_range_f64(StdRng& rng, double lo, double hi) noexcept;
// rng.random_range(0..n) over usize (64-bit target). Requires n >= 1.
uint64_t random_range_usize(StdRng& rng, uint64_t n) noexcept;
// rng.random_range(lo..=hi) over i64. Requires lo <= hi.
int64_t random_range_i64_inclusive(StdRng& rng, int64_t lo, int64_t hi) noexcept;
// rng.random::<f64>() and rng.sample(Open01).
double standard_f64(StdRng& rng) noexcept;
double open01_f64(StdRng& rng) noexcept;

// rand_distr::Beta<f64>. create() returns nullopt exactly where Beta::new returns an error.
class Beta {
public:
    static std::optional<Beta> create(double alpha, double beta) noexcept;
    double sample(StdRng& rng) const noexcept;
};

// rand_distr::Binomial. create() returns nullopt exactly where Binomial::new returns an error.
class Binomial {
public:
    static std::optional<Binomial> create(uint64_t n, double p) noexcept;
    uint64_t sample(StdRng& rng) const noexcept;
};

}  // namespace pelmora::rnd
