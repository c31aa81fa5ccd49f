// The ChaCha12 keystream behind StdRng: consecutive 16-word blocks, four or eight per call, laid
// out as rand_chacha's refill4 writes them (block after block, each word = state + input).
// Words 12-13 of the input hold a 64-bit block counter that wraps; words 14-15 (the
// stream number) are 0.
#pragma once

#include <cstdint>

namespace pelmora::rnd::chacha {

inline constexpr int kDoubleRounds = 6;  // ChaCha12
inline constexpr int kBlockWords = 16;
inline constexpr int kRefillWords = 4 * kBlockWords;

// Plain one-block-at-a-time code, kept for compilers without vector extensions and as the
// reference the vector code is tested against.
void refill4_scalar(const uint32_t key[8], uint64_t block, uint32_t out[kRefillWords]) noexcept;
// The four blocks side by side in 4-lane vectors; the scalar code where no vectors exist.
void refill4_vector(const uint32_t key[8], uint64_t block, uint32_t out[kRefillWords]) noexcept;
bool has_vector_path() noexcept;

// Eight consecutive blocks, as two refill4 calls would write them: on x86-64 processors with
// AVX2 all eight side by side in 8-lane vectors, elsewhere two refill4_vector calls, and two
// refill4_scalar calls when the environment variable PELMORA_CHACHA is "scalar" at load time.
inline constexpr int kRefill8Words = 8 * kBlockWords;
void refill8(const uint32_t key[8], uint64_t block, uint32_t out[kRefill8Words]) noexcept;
bool has_avx2_path() noexcept;

}  // namespace pelmora::rnd::chacha
