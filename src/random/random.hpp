// A C++ port of the random streams of the Rust crates rand 0.9 (StdRng = ChaCha12 behind
// rand_core's block buffer, seeded by seed_from_u64; the random_range samplers) and
// rand_distr 0.5.1 (Beta, Binomial). Every function reproduces the crates bit for bit.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

namespace pelmora::rnd {

class StdRng {
public:
    // An all-zero key (rand's from_seed([0; 32])); meant to be overwritten by a seeded one.
    StdRng() = default;
    static StdRng seed_from_u64(uint64_t seed) noexcept;
    // The 32 key bytes as rand's from_seed takes them, and back (get_seed).
    static StdRng from_seed(const std::array<uint8_t, 32>& seed) noexcept;
    std::array<uint8_t, 32> get_seed() const noexcept;

    uint32_t next_u32() noexcept {
        if (index_ >= kBufferWords) {
            refill();
            index_ = 0;
        }
        return buffer_[index_++];
    }

    // Two consecutive words of the stream, low word first; at the last buffered word the
    // high half comes from the next refill, exactly as rand_core's BlockRng does it.
    uint64_t next_u64() noexcept {
        const uint32_t i = index_;
        if (i < kBufferWords - 1) {
            index_ = i + 2;
            uint64_t v;
            std::memcpy(&v, &buffer_[i], sizeof v);  // little-endian targets only (checked in chacha.cpp)
            return v;
        }
        if (i >= kBufferWords) {
            refill();
            index_ = 2;
            return uint64_t{buffer_[0]} | uint64_t{buffer_[1]} << 32;
        }
        const uint64_t low = buffer_[kBufferWords - 1];
        refill();
        index_ = 1;
        return low | uint64_t{buffer_[0]} << 32;
    }

    // Advances the stream by `words` 32-bit words, exactly as that many next_u32 calls would.
    void discard_u32(uint64_t words) noexcept;
    // Number of 32-bit words drawn so far (modulo 2^64): equal positions of two generators with
    // the same key mean equal streams from here on.
    uint64_t word_position() const noexcept { return block_ * 16 - kBufferWords + index_; }

    // Eight 16-word ChaCha blocks per refill. rand_chacha refills four at a time; the words come
    // out in the same order either way (a next_u64 across a refill joins consecutive words in
    // both), so only the cost of a refill differs.
    static constexpr uint32_t kRefillBlocks = 8;
    static constexpr uint32_t kBufferWords = kRefillBlocks * 16;

private:
    // Fills the buffer with the blocks at block_ and moves block_ past them.
    void refill() noexcept;

    std::array<uint32_t, 8> key_{};
    uint64_t block_ = 0;  // ChaCha block counter of the next refill
    uint32_t index_ = kBufferWords;
    alignas(32) uint32_t buffer_[kBufferWords] = {};
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
    // The same draw from any generator with next_u32/next_u64 (see distributions.hpp).
    template <class Rng>
    double sample_with(Rng& rng) const noexcept;

private:
    Beta() = default;
    // Cheng's BB when min(alpha, beta) > 1, else BC; the constants keep the crate's names.
    bool use_bb_ = false;
    bool switched_params_ = false;
    double a_ = 0, b_ = 0;
    double alpha_ = 0, beta_ = 0;
    double gamma_ = 0;                // BB
    double kappa1_ = 0, kappa2_ = 0;  // BC
};

// rand_distr::Binomial. create() returns nullopt exactly where Binomial::new returns an error.
//
// Binomial::new and BTPE's final test panic in the crate when a float reaches 2^63 (n*p, or n
// itself as a float, i.e. n >= 2^63 - 512 on the BTPE path); here those values saturate
// instead, so callers that must mirror the panic check n themselves.
class Binomial {
public:
    static std::optional<Binomial> create(uint64_t n, double p) noexcept;
    uint64_t sample(StdRng& rng) const noexcept;
    template <class Rng>
    uint64_t sample_with(Rng& rng) const noexcept;

private:
    enum class Method : uint8_t { Binv, Btpe, Poisson, Constant };
    Binomial() = default;

    Method method_ = Method::Constant;
    bool flipped_ = false;
    uint64_t n_ = 0;  // also the value of Constant
    double p_ = 0;    // BTPE: min(p, 1 - p)
    // BINV: r = q^n, s = p/q, a = (n+1)s.  BTPE: m, p1.  Poisson: exp(-n p).
    double r_ = 0, s_ = 0, a_ = 0;
    int64_t m_ = 0;
    double p1_ = 0;
    double exp_lambda_ = 0;
};

}  // namespace pelmora::rnd
