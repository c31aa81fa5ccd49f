// The samplers of random.hpp as templates over the generator, so that a wrapper that counts
// next_u32 / next_u64 calls draws exactly what StdRng would. `Rng` needs next_u32() and
// next_u64(). The non-template functions of random.hpp are these with Rng = StdRng.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "random/libm.hpp"
#include "random/random.hpp"

namespace pelmora::rnd::detail {

inline constexpr uint64_t kExponentOne = 0x3ff0000000000000ull;  // the exponent bits of 1.0
inline constexpr double kEpsilon = 0x1p-52;

// A value in [1, 2) from the top 52 bits of a word (rand's into_float_with_exponent(0)).
inline double one_to_two(uint64_t word) noexcept { return std::bit_cast<double>((word >> 12) | kExponentOne); }

template <class Rng>
double standard_f64(Rng& rng) noexcept {
    return 0x1p-53 * static_cast<double>(rng.next_u64() >> 11);
}

template <class Rng>
double open01_f64(Rng& rng) noexcept {
    return one_to_two(rng.next_u64()) - (1.0 - kEpsilon / 2.0);
}

// UniformFloat::sample_single (which is sample_single_inclusive: no rejection loop).
template <class Rng>
double range_f64(Rng& rng, double lo, double hi) noexcept {
    const double scale = hi - lo;
    return (one_to_two(rng.next_u64()) - 1.0) * scale + lo;
}

// UniformFloat::new(lo, hi) then sample: the scale shrinks until the largest draw stays below hi.
class UniformF64 {
public:
    UniformF64(double lo, double hi) noexcept : lo_(lo), scale_(hi - lo) {
        constexpr double kMaxRand = 1.0 - kEpsilon;
        while (scale_ * kMaxRand + lo_ > hi) scale_ = std::bit_cast<double>(std::bit_cast<uint64_t>(scale_) - 1);
    }
    template <class Rng>
    double sample(Rng& rng) const noexcept {
        return (one_to_two(rng.next_u64()) - 1.0) * scale_ + lo_;
    }

private:
    double lo_, scale_;
};

struct Wide64 {
    uint64_t hi, lo;
};

// The full product of two words, high and low halves (rand's wmul).
inline Wide64 wmul(uint64_t a, uint64_t b) noexcept {
    __extension__ typedef unsigned __int128 u128;  // GCC and Clang on 64-bit targets
    const u128 product = static_cast<u128>(a) * b;
    return {static_cast<uint64_t>(product >> 64), static_cast<uint64_t>(product)};
}

inline Wide64 wmul(uint32_t a, uint32_t b) noexcept {
    const uint64_t product = uint64_t{a} * b;
    return {product >> 32, product & 0xffffffff};
}

template <class U, class Rng>
U next_word(Rng& rng) noexcept {
    if constexpr (sizeof(U) == 4) {
        return rng.next_u32();
    } else {
        return rng.next_u64();
    }
}

// UniformInt<U>::sample_single_inclusive, the biased Canon variant rand builds by default:
// one word, and a second only when the low half of the product lies in the last `range` values.
template <class U, class Rng>
U range_inclusive(Rng& rng, U low, U high) noexcept {
    const U range = static_cast<U>(high - low + 1);
    if (range == 0) return next_word<U>(rng);  // the whole type
    const Wide64 first = wmul(next_word<U>(rng), range);
    U result = static_cast<U>(first.hi);
    const auto lo_order = static_cast<U>(first.lo);
    if (lo_order > static_cast<U>(0 - range)) {
        const auto new_hi = static_cast<U>(wmul(next_word<U>(rng), range).hi);
        result += static_cast<U>(static_cast<U>(lo_order + new_hi) < lo_order);  // carry
    }
    return static_cast<U>(low + result);
}

// UniformUsize::sample_single on a 64-bit target: ranges that fit in u32 draw 32-bit words.
template <class Rng>
uint64_t range_usize(Rng& rng, uint64_t n) noexcept {
    if (n > UINT32_MAX) return range_inclusive<uint64_t>(rng, 0, n - 1);
    return range_inclusive<uint32_t>(rng, 0, static_cast<uint32_t>(n - 1));
}

template <class Rng>
int64_t range_i64_inclusive(Rng& rng, int64_t lo, int64_t hi) noexcept {
    return static_cast<int64_t>(range_inclusive<uint64_t>(rng, static_cast<uint64_t>(lo), static_cast<uint64_t>(hi)));
}

// Rust's `f as i64`: saturating, NaN to 0. The crate asserts the value is below 2^63 first.
inline int64_t f64_to_i64(double x) noexcept {
    if (x != x) return 0;
    if (x >= 0x1p63) return INT64_MAX;
    if (x < -0x1p63) return INT64_MIN;
    return static_cast<int64_t>(x);
}

// Rust's `f as u64`.
inline uint64_t f64_to_u64(double x) noexcept {
    if (!(x > 0)) return 0;
    if (x >= 0x1p64) return UINT64_MAX;
    return static_cast<uint64_t>(x);
}

}  // namespace pelmora::rnd::detail

namespace pelmora::rnd {

template <class Rng>
double Beta::sample_with(Rng& rng) const noexcept {
    // Cheng (1978), with log and exp from the libm crate as the generic crate code calls them.
    const double ln4 = libm::log(4.0), ln5 = libm::log(5.0);
    double w = 0;
    if (use_bb_) {
        for (;;) {
            const double u1 = detail::open01_f64(rng);
            const double u2 = detail::open01_f64(rng);
            const double v = beta_ * libm::log(u1 / (1.0 - u1));
            w = a_ * libm::exp(v);
            const double z = u1 * u1 * u2;
            const double r = gamma_ * v - ln4;
            const double s = a_ + r - w;
            if (s + 1.0 + ln5 >= 5.0 * z) break;
            const double t = libm::log(z);
            if (s >= t) break;
            if (!(r + alpha_ * libm::log(alpha_ / (b_ + w)) < t)) break;
        }
    } else {
        for (;;) {
            double z;
            const double u1 = detail::open01_f64(rng);
            const double u2 = detail::open01_f64(rng);
            if (u1 < 0.5) {
                const double y = u1 * u2;
                z = u1 * y;
                if (0.25 * u2 + z - y >= kappa1_) continue;
            } else {
                z = u1 * u1 * u2;
                if (z <= 0.25) {
                    const double v = beta_ * libm::log(u1 / (1.0 - u1));
                    w = a_ * libm::exp(v);
                    break;
                }
                if (z >= kappa2_) continue;
            }
            const double v = beta_ * libm::log(u1 / (1.0 - u1));
            w = a_ * libm::exp(v);
            if (!(alpha_ * (libm::log(alpha_ / (b_ + w)) + v) - ln4 < libm::log(z))) break;
        }
    }
    if (!switched_params_) {
        if (w == HUGE_VAL) return 1.0;  // w / (b + w) would be NaN
        return w / (b_ + w);
    }
    return b_ / (b_ + w);
}

template <class Rng>
uint64_t Binomial::sample_with(Rng& rng) const noexcept {
    switch (method_) {
        case Method::Constant: return n_;
        case Method::Poisson: {
            // Knuth: count uniforms until their product drops to exp(-lambda).
            double result = 1.0;
            double prod = detail::standard_f64(rng);
            while (prod > exp_lambda_) {
                prod = prod * detail::standard_f64(rng);
                result = result + 1.0;
            }
            return detail::f64_to_u64(result - 1.0);
        }
        case Method::Binv: {
            // Inversion from 0 upwards; restart a walk that strays past 110.
            constexpr uint64_t kMaxX = 110;
            uint64_t x;
            for (;;) {
                double r = r_;
                double u = detail::standard_f64(rng);
                x = 0;
                bool stray = false;
                while (u > r) {
                    u -= r;
                    ++x;
                    if (x > kMaxX) {
                        stray = true;
                        break;
                    }
                    r *= a_ / static_cast<double>(x) - s_;
                }
                if (!stray) break;
            }
            return flipped_ ? n_ - x : x;
        }
        case Method::Btpe: break;
    }

    // BTPE (Kachitvichyanukul & Schmeiser 1988) with GSL's signs in the final test. The
    // logarithms here are the C library's: this is plain f64 code in the crate.
    using detail::f64_to_i64;
    constexpr int64_t kSqueezeThreshold = 20;
    const double n = static_cast<double>(n_);
    const double np = n * p_;
    const double q = 1. - p_;
    const double npq = np * q;
    const double f_m = np + p_;
    const int64_t m = m_;
    const double p1 = p1_;
    const double x_m = static_cast<double>(m) + 0.5;
    const double x_l = x_m - p1;
    const double x_r = x_m + p1;
    const double c = 0.134 + 20.5 / (15.3 + static_cast<double>(m));
    const double p2 = p1 * (1. + 2. * c);
    const auto lambda = [](double a) { return a * (1. + 0.5 * a); };
    const double lambda_l = lambda((f_m - x_l) / (f_m - x_l * p_));
    const double lambda_r = lambda((x_r - f_m) / (x_r * q));
    const double p3 = p2 + c / lambda_l;
    const double p4 = p3 + c / lambda_r;
    const detail::UniformF64 gen_u(0., p4);
    const detail::UniformF64 gen_v(0., 1.);

    int64_t y;
    for (;;) {
        const double u = gen_u.sample(rng);
        double v = gen_v.sample(rng);
        if (!(u > p1)) {  // triangle
            y = f64_to_i64(x_m - p1 * v + u);
            break;
        }
        if (!(u > p2)) {  // parallelograms
            const double x = x_l + (u - p1) / c;
            v = v * c + 1.0 - std::abs(x - x_m) / p1;
            if (v > 1.) continue;
            y = f64_to_i64(x);
        } else if (!(u > p3)) {  // left exponential tail
            y = f64_to_i64(x_l + std::log(v) / lambda_l);
            if (y < 0) continue;
            v *= (u - p2) * lambda_l;
        } else {  // right exponential tail
            y = f64_to_i64(x_r - std::log(v) / lambda_r);
            if (y > 0 && static_cast<uint64_t>(y) > n_) continue;
            v *= (u - p3) * lambda_r;
        }

        const int64_t k = std::llabs(y - m);
        if (!(k > kSqueezeThreshold && static_cast<double>(k) < 0.5 * npq - 1.)) {
            // f(y) by the recurrence from the mode.
            const double s = p_ / q;
            const double a = s * (n + 1.);
            double f = 1.0;
            if (m < y) {
                for (int64_t i = m + 1;; ++i) {
                    f *= a / static_cast<double>(i) - s;
                    if (i == y) break;
                }
            } else if (m > y) {
                for (int64_t i = y + 1;; ++i) {
                    f /= a / static_cast<double>(i) - s;
                    if (i == m) break;
                }
            }
            if (v > f) continue;
            break;
        }

        // Squeeze ln(v) between bounds of ln(f(y)).
        const double kf = static_cast<double>(k);
        const double rho = (kf / npq) * ((kf * (kf / 3. + 0.625) + 1. / 6.) / npq + 0.5);
        const double t = -0.5 * kf * kf / npq;
        const double alpha = std::log(v);
        if (alpha < t - rho) break;
        if (alpha > t + rho) continue;

        const double x1 = static_cast<double>(y + 1);
        const double f1 = static_cast<double>(m + 1);
        const double z = static_cast<double>(f64_to_i64(n) + 1 - m);
        const double w = static_cast<double>(f64_to_i64(n) - y + 1);
        const auto stirling = [](double a) {
            const double a2 = a * a;
            return (13860. - (462. - (132. - (99. - 140. / a2) / a2) / a2) / a2) / a / 166320.;
        };
        if (alpha > x_m * std::log(f1 / x1) + (n - static_cast<double>(m) + 0.5) * std::log(z / w) +
                        static_cast<double>(y - m) * std::log(w * p_ / (x1 * q)) + stirling(f1) + stirling(z) -
                        stirling(x1) - stirling(w)) {
            continue;
        }
        break;
    }
    const auto result = static_cast<uint64_t>(y);
    return flipped_ ? n_ - result : result;
}

}  // namespace pelmora::rnd
