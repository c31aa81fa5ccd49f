// Compiled with -ffp-contract=off: a fused multiply-add anywhere below changes last bits.
#include "random/libm.hpp"

#include <bit>
#include <cstdint>

namespace pelmora::rnd::libm {
namespace {

constexpr double kLn2Hi = 6.93147180369123816490e-01;  // 0x3fe62e42fee00000, k*kLn2Hi exact for |k| < 2^11
constexpr double kLn2Lo = 1.90821492927058770002e-10;  // 0x3dea39ef35793c76

uint32_t high_word(double x) { return static_cast<uint32_t>(std::bit_cast<uint64_t>(x) >> 32); }

// x * 2^n without double rounding when the result is subnormal (musl's scalbn).
double scalbn(double x, int n) {
    double y = x;
    if (n > 1023) {
        y *= 0x1p1023;
        n -= 1023;
        if (n > 1023) {
            y *= 0x1p1023;
            n -= 1023;
            if (n > 1023) n = 1023;
        }
    } else if (n < -1022) {
        // Stop at n < -53 so that the last multiplication alone rounds.
        y *= 0x1p-1022 * 0x1p53;
        n += 1022 - 53;
        if (n < -1022) {
            y *= 0x1p-1022 * 0x1p53;
            n += 1022 - 53;
            if (n < -1022) n = -1022;
        }
    }
    return y * std::bit_cast<double>(static_cast<uint64_t>(0x3ff + n) << 52);
}

}  // namespace

double log(double x) noexcept {
    // Minimax polynomial for log(1+f) in terms of s = f/(2+f), |error| < 2^-58.45.
    constexpr double Lg1 = 6.666666666666735130e-01;  // 0x3fe5555555555593
    constexpr double Lg2 = 3.999999999940941908e-01;  // 0x3fd999999997fa04
    constexpr double Lg3 = 2.857142874366239149e-01;  // 0x3fd2492494229359
    constexpr double Lg4 = 2.222219843214978396e-01;  // 0x3fcc71c51d8e78af
    constexpr double Lg5 = 1.818357216161805012e-01;  // 0x3fc7466496cb03de
    constexpr double Lg6 = 1.531383769920937332e-01;  // 0x3fc39a09d078c69f
    constexpr double Lg7 = 1.479819860511658591e-01;  // 0x3fc2f112df3e5244

    uint64_t bits = std::bit_cast<uint64_t>(x);
    uint32_t hx = static_cast<uint32_t>(bits >> 32);
    int k = 0;
    if (hx < 0x00100000 || (hx >> 31) != 0) {
        if ((bits << 1) == 0) return -1 / (x * x);  // log(+-0) = -inf
        if ((hx >> 31) != 0) return (x - x) / 0.0;  // log(negative) = NaN
        // Subnormal: scale into the normal range first.
        k -= 54;
        x *= 0x1p54;
        bits = std::bit_cast<uint64_t>(x);
        hx = static_cast<uint32_t>(bits >> 32);
    } else if (hx >= 0x7ff00000) {
        return x;
    } else if (hx == 0x3ff00000 && (bits << 32) == 0) {
        return 0;
    }

    // Reduce x into [sqrt(2)/2, sqrt(2)).
    hx += 0x3ff00000 - 0x3fe6a09e;
    k += static_cast<int>(hx >> 20) - 0x3ff;
    hx = (hx & 0x000fffff) + 0x3fe6a09e;
    bits = (static_cast<uint64_t>(hx) << 32) | (bits & 0xffffffff);
    x = std::bit_cast<double>(bits);

    const double f = x - 1.0;
    const double hfsq = 0.5 * f * f;
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double w = z * z;
    const double t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
    const double t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
    const double r = t2 + t1;
    const double dk = k;
    return s * (hfsq + r) + dk * kLn2Lo - hfsq + f + dk * kLn2Hi;
}

double exp(double x) noexcept {
    constexpr double kHalf[2] = {0.5, -0.5};
    constexpr double kInvLn2 = 1.44269504088896338700e+00;  // 0x3ff71547652b82fe
    // Remez polynomial for x - x^2 R(x^2) on [0, 0.34658], |error| < 2^-59.
    constexpr double P1 = 1.66666666666666019037e-01;   // 0x3fc555555555553e
    constexpr double P2 = -2.77777777770155933842e-03;  // 0xbf66c16c16bebd93
    constexpr double P3 = 6.61375632143793436117e-05;   // 0x3f11566aaf25de2c
    constexpr double P4 = -1.65339022054652515390e-06;  // 0xbebbbd41c5d26bf1
    constexpr double P5 = 4.13813679705723846039e-08;   // 0x3e66376972bea4d0

    uint32_t hx = high_word(x);
    const int sign = static_cast<int>(hx >> 31);
    hx &= 0x7fffffff;

    if (hx >= 0x4086232b) {  // |x| >= 708.39...
        if (x != x) return x;
        if (x > 709.782712893383973096) return x * 0x1p1023;  // overflow (inf stays inf)
        if (x < -708.39641853226410622 && x < -745.13321910194110842) return 0;
    }

    double hi, lo;
    int k;
    if (hx > 0x3fd62e42) {       // |x| > ln2 / 2
        if (hx >= 0x3ff0a2b2) {  // |x| >= 1.5 ln2
            k = static_cast<int>(kInvLn2 * x + kHalf[sign]);
        } else {
            k = 1 - sign - sign;
        }
        hi = x - k * kLn2Hi;
        lo = k * kLn2Lo;
        x = hi - lo;
    } else if (hx > 0x3e300000) {  // |x| > 2^-28
        k = 0;
        hi = x;
        lo = 0;
    } else {
        return 1 + x;
    }

    const double xx = x * x;
    const double c = x - xx * (P1 + xx * (P2 + xx * (P3 + xx * (P4 + xx * P5))));
    const double y = 1 + (x * c / (2 - c) - lo + hi);
    return k == 0 ? y : scalbn(y, k);
}

}  // namespace pelmora::rnd::libm
