#include <cmath>

#include "random/distributions.hpp"
#include "random/random.hpp"

namespace pelmora::rnd {

std::optional<Beta> Beta::create(double alpha, double beta) noexcept {
    if (!(alpha > 0.0) || !(beta > 0.0)) return std::nullopt;  // also rejects NaN
    // Cheng's notation: a = min, b = max of the two parameters.
    Beta d;
    const bool a0_smaller = alpha < beta;
    double a = a0_smaller ? alpha : beta;
    double b = a0_smaller ? beta : alpha;
    bool switched = !a0_smaller;
    if (a > 1.0) {
        d.use_bb_ = true;
        d.alpha_ = a + b;
        d.beta_ = std::sqrt((d.alpha_ - 2.0) / (2.0 * a * b - d.alpha_));
        d.gamma_ = a + 1.0 / d.beta_;
    } else {
        // BC works with a as the larger parameter.
        std::swap(a, b);
        switched = !switched;
        d.alpha_ = a + b;
        d.beta_ = 1.0 / b;
        const double delta = 1.0 + a - b;
        d.kappa1_ = delta * (1. / 18. / 4. + 3. / 18. / 4. * b) / (a * d.beta_ - 14. / 18.);
        d.kappa2_ = 0.25 + (0.5 + 0.25 / delta) * b;
    }
    d.a_ = a;
    d.b_ = b;
    d.switched_params_ = switched;
    return d;
}

double Beta::sample(StdRng& rng) const noexcept { return sample_with(rng); }

}  // namespace pelmora::rnd
