#include "random/chacha.hpp"

#include <cstdlib>
#include <cstring>

#include "random/random.hpp"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "StdRng::next_u64 and the key layout assume a little-endian target");

namespace pelmora::rnd {
namespace chacha {
namespace {

constexpr uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void input_block(const uint32_t key[8], uint64_t block, uint32_t in[kBlockWords]) {
    std::memcpy(in, kSigma, sizeof kSigma);
    std::memcpy(in + 4, key, 8 * sizeof(uint32_t));
    in[12] = static_cast<uint32_t>(block);
    in[13] = static_cast<uint32_t>(block >> 32);
    in[14] = 0;
    in[15] = 0;
}

inline void quarter(uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b], x[d] = rotl(x[d] ^ x[a], 16);
    x[c] += x[d], x[b] = rotl(x[b] ^ x[c], 12);
    x[a] += x[b], x[d] = rotl(x[d] ^ x[a], 8);
    x[c] += x[d], x[b] = rotl(x[b] ^ x[c], 7);
}

// PELMORA_CHACHA=scalar, read once when the library is loaded, sends every refill through the
// plain one-block code, so that a machine with vectors can show that one without them draws the
// same words. It costs one predictable branch per refill of eight blocks.
bool scalar_requested() noexcept {
    const char* path = std::getenv("PELMORA_CHACHA");
    return path != nullptr && std::strcmp(path, "scalar") == 0;
}
const bool kScalarOnly = scalar_requested();

}  // namespace

void refill4_scalar(const uint32_t key[8], uint64_t block, uint32_t out[kRefillWords]) noexcept {
    for (int b = 0; b < 4; ++b) {
        uint32_t in[kBlockWords];
        input_block(key, block + static_cast<uint64_t>(b), in);  // the counter wraps at 2^64
        uint32_t x[kBlockWords];
        std::memcpy(x, in, sizeof x);
        for (int r = 0; r < kDoubleRounds; ++r) {
            quarter(x, 0, 4, 8, 12), quarter(x, 1, 5, 9, 13), quarter(x, 2, 6, 10, 14), quarter(x, 3, 7, 11, 15);
            quarter(x, 0, 5, 10, 15), quarter(x, 1, 6, 11, 12), quarter(x, 2, 7, 8, 13), quarter(x, 3, 4, 9, 14);
        }
        for (int w = 0; w < kBlockWords; ++w) out[b * kBlockWords + w] = x[w] + in[w];
    }
}

#if defined(__GNUC__)

namespace {

// Lane j of vector w is word w of block j: every quarter round works on all the blocks at once
// with plain lane-wise adds, xors and shifts. Four lanes are SSE2 on x86-64 and NEON on
// AArch64; eight lanes are compiled for AVX2 alone and only run where the processor has it.
// The helpers are always inlined, so each takes the instruction set of the function using it.
typedef uint32_t u32x4 __attribute__((vector_size(16)));
typedef uint32_t u32x8 __attribute__((vector_size(32)));

#define PELMORA_INLINE inline __attribute__((always_inline))

// Vectors only travel by pointer between these helpers: passing a 32-byte vector by value from
// code compiled without AVX would have no agreed calling convention.
template <int N, class V>
PELMORA_INLINE void rotl_lanes(V* v) {
    *v = (*v << N) | (*v >> (32 - N));
}

template <class V>
PELMORA_INLINE void quarter_lanes(V* x, int a, int b, int c, int d) {
    x[a] += x[b], x[d] ^= x[a], rotl_lanes<16>(&x[d]);
    x[c] += x[d], x[b] ^= x[c], rotl_lanes<12>(&x[b]);
    x[a] += x[b], x[d] ^= x[a], rotl_lanes<8>(&x[d]);
    x[c] += x[d], x[b] ^= x[c], rotl_lanes<7>(&x[b]);
}

// The ChaCha12 block function on `lanes` blocks from block counter `block`: x = rounds(in) + in.
template <class V, int Lanes>
PELMORA_INLINE void blocks_lanes(const uint32_t key[8], uint64_t block, V* x) {
    V in[kBlockWords];
    for (int w = 0; w < 4; ++w) in[w] = V{} + kSigma[w];
    for (int w = 0; w < 8; ++w) in[4 + w] = V{} + key[w];
    for (int j = 0; j < Lanes; ++j) {
        const uint64_t b = block + static_cast<uint64_t>(j);  // the counter wraps at 2^64
        in[12][j] = static_cast<uint32_t>(b);
        in[13][j] = static_cast<uint32_t>(b >> 32);
    }
    in[14] = V{};
    in[15] = V{};
    for (int w = 0; w < kBlockWords; ++w) x[w] = in[w];
    for (int r = 0; r < kDoubleRounds; ++r) {
        quarter_lanes(x, 0, 4, 8, 12), quarter_lanes(x, 1, 5, 9, 13);
        quarter_lanes(x, 2, 6, 10, 14), quarter_lanes(x, 3, 7, 11, 15);
        quarter_lanes(x, 0, 5, 10, 15), quarter_lanes(x, 1, 6, 11, 12);
        quarter_lanes(x, 2, 7, 8, 13), quarter_lanes(x, 3, 4, 9, 14);
    }
    for (int w = 0; w < kBlockWords; ++w) x[w] += in[w];
}

#if defined(__clang__) || __GNUC__ >= 12
#define PELMORA_SHUFFLE(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define PELMORA_SHUFFLE(a, b, ...) __builtin_shuffle(a, b, u32x4{__VA_ARGS__})
#endif

// Writes back in block order four blocks whose words 4g..4g+3 are the lanes of v[0..3].
PELMORA_INLINE void store_tile(const u32x4 v[4], int g, uint32_t* out) {
    const u32x4 ab_lo = PELMORA_SHUFFLE(v[0], v[1], 0, 4, 1, 5), ab_hi = PELMORA_SHUFFLE(v[0], v[1], 2, 6, 3, 7);
    const u32x4 cd_lo = PELMORA_SHUFFLE(v[2], v[3], 0, 4, 1, 5), cd_hi = PELMORA_SHUFFLE(v[2], v[3], 2, 6, 3, 7);
    const u32x4 rows[4] = {PELMORA_SHUFFLE(ab_lo, cd_lo, 0, 1, 4, 5), PELMORA_SHUFFLE(ab_lo, cd_lo, 2, 3, 6, 7),
                           PELMORA_SHUFFLE(ab_hi, cd_hi, 0, 1, 4, 5), PELMORA_SHUFFLE(ab_hi, cd_hi, 2, 3, 6, 7)};
    for (int blk = 0; blk < 4; ++blk) std::memcpy(out + blk * kBlockWords + 4 * g, &rows[blk], sizeof(u32x4));
}

}  // namespace

void refill4_vector(const uint32_t key[8], uint64_t block, uint32_t out[kRefillWords]) noexcept {
    u32x4 x[kBlockWords];
    blocks_lanes<u32x4, 4>(key, block, x);
    for (int g = 0; g < 4; ++g) store_tile(x + 4 * g, g, out);
}

#if defined(__x86_64__)

namespace {

__attribute__((target("avx2"))) void refill8_avx2(const uint32_t key[8], uint64_t block,
                                                  uint32_t out[kRefill8Words]) noexcept {
    u32x8 x[kBlockWords];
    blocks_lanes<u32x8, 8>(key, block, x);
    // The low lanes hold blocks 0-3, the high lanes blocks 4-7.
    for (int half = 0; half < 2; ++half) {
        for (int g = 0; g < 4; ++g) {
            u32x4 v[4];
            for (int i = 0; i < 4; ++i)
                std::memcpy(&v[i], reinterpret_cast<const char*>(&x[4 * g + i]) + 16 * half, 16);
            store_tile(v, g, out + 4 * half * kBlockWords);
        }
    }
}

bool cpu_has_avx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

// Decided once, when the module is loaded.
const bool kUseAvx2 = !kScalarOnly && cpu_has_avx2();

}  // namespace

bool has_avx2_path() noexcept { return kUseAvx2; }

namespace {
void refill8_fast(const uint32_t key[8], uint64_t block, uint32_t out[kRefill8Words]) noexcept {
    if (kUseAvx2) {
        refill8_avx2(key, block, out);
        return;
    }
    refill4_vector(key, block, out);
    refill4_vector(key, block + 4, out + kRefillWords);
}
}  // namespace

#else

bool has_avx2_path() noexcept { return false; }

namespace {
void refill8_fast(const uint32_t key[8], uint64_t block, uint32_t out[kRefill8Words]) noexcept {
    refill4_vector(key, block, out);
    refill4_vector(key, block + 4, out + kRefillWords);
}
}  // namespace

#endif

#undef PELMORA_SHUFFLE
#undef PELMORA_INLINE

bool has_vector_path() noexcept { return !kScalarOnly; }

#else

void refill4_vector(const uint32_t key[8], uint64_t block, uint32_t out[kRefillWords]) noexcept {
    refill4_scalar(key, block, out);
}

bool has_vector_path() noexcept { return false; }
bool has_avx2_path() noexcept { return false; }

namespace {
void refill8_fast(const uint32_t key[8], uint64_t block, uint32_t out[kRefill8Words]) noexcept {
    refill4_scalar(key, block, out);
    refill4_scalar(key, block + 4, out + kRefillWords);
}
}  // namespace

#endif

void refill8(const uint32_t key[8], uint64_t block, uint32_t out[kRefill8Words]) noexcept {
    if (kScalarOnly) [[unlikely]] {
        refill4_scalar(key, block, out);
        refill4_scalar(key, block + 4, out + kRefillWords);
        return;
    }
    refill8_fast(key, block, out);
}

}  // namespace chacha

void StdRng::refill() noexcept {
    chacha::refill8(key_.data(), block_, buffer_);
    block_ += kRefillBlocks;
}

void StdRng::discard_u32(uint64_t words) noexcept {
    const uint64_t buffered = kBufferWords - index_;
    if (words <= buffered) {
        index_ += static_cast<uint32_t>(words);
        return;
    }
    // next_u32 would refill at the first word past the buffer and every buffer's length after;
    // only the last of those refills is visible, the others just move the block counter.
    const uint64_t rest = words - buffered;
    const uint64_t refills = (rest - 1) / kBufferWords + 1;
    block_ += kRefillBlocks * (refills - 1);
    refill();
    index_ = static_cast<uint32_t>(rest - (refills - 1) * kBufferWords);
}

StdRng StdRng::from_seed(const std::array<uint8_t, 32>& seed) noexcept {
    StdRng rng;
    std::memcpy(rng.key_.data(), seed.data(), seed.size());  // little-endian words
    return rng;
}

std::array<uint8_t, 32> StdRng::get_seed() const noexcept {
    std::array<uint8_t, 32> seed;
    std::memcpy(seed.data(), key_.data(), seed.size());
    return seed;
}

StdRng StdRng::seed_from_u64(uint64_t state) noexcept {
    // rand_core's default seed_from_u64: eight PCG32 (XSH RR) outputs, advancing first.
    constexpr uint64_t kMul = 6364136223846793005ull;
    constexpr uint64_t kInc = 11634580027462260723ull;
    StdRng rng;
    for (uint32_t& word : rng.key_) {
        state = state * kMul + kInc;
        const auto xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rot = static_cast<uint32_t>(state >> 59);
        word = (xorshifted >> rot) | (xorshifted << ((32 - rot) & 31));
    }
    return rng;
}

}  // namespace pelmora::rnd
