#include <cmath>

#include "random/distributions.hpp"
#include "random/random.hpp"

namespace pelmora::rnd {

std::optional<Binomial> Binomial::create(uint64_t n, double p) noexcept {
    if (!(p >= 0.0) || !(p <= 1.0)) return std::nullopt;  // also rejects NaN
    Binomial d;
    d.n_ = n;
    if (p == 0.0 || p == 1.0) {
        d.method_ = Method::Constant;
        d.n_ = p == 0.0 ? 0 : n;
        return d;
    }
    // Symmetric under p -> 1 - p: work with the smaller one and mirror the draw.
    d.flipped_ = p > 0.5;
    if (d.flipped_) p = 1.0 - p;
    d.p_ = p;
    const double np = static_cast<double>(n) * p;
    const double q = 1.0 - p;
    if (np < 10.0) {
        if (q == 1.0) {
            // p is below half an ulp of 1: Poisson, set up through the libm crate (generic code).
            d.method_ = Method::Poisson;
            d.exp_lambda_ = libm::exp(-np);
        } else {
            // Plain f64 code in the crate, so the C library's pow.
            d.method_ = Method::Binv;
            d.s_ = p / q;
            d.r_ = std::pow(q, static_cast<double>(n));
            d.a_ = (static_cast<double>(n) + 1.0) * d.s_;
        }
    } else {
        d.method_ = Method::Btpe;
        const double npq = np * q;
        d.p1_ = std::floor(2.195 * std::sqrt(npq) - 4.6 * q) + 0.5;
        d.m_ = detail::f64_to_i64(np + p);
    }
    return d;
}

uint64_t Binomial::sample(StdRng& rng) const noexcept { return sample_with(rng); }

}  // namespace pelmora::rnd
