#include "random/distributions.hpp"
#include "random/random.hpp"

namespace pelmora::rnd {

double random_range_f64(StdRng& rng, double lo, double hi) noexcept { return detail::range_f64(rng, lo, hi); }

uint64_t random_range_usize(StdRng& rng, uint64_t n) noexcept { return detail::range_usize(rng, n); }

int64_t random_range_i64_inclusive(StdRng& rng, int64_t lo, int64_t hi) noexcept {
    return detail::range_i64_inclusive(rng, lo, hi);
}

double standard_f64(StdRng& rng) noexcept { return detail::standard_f64(rng); }

double open01_f64(StdRng& rng) noexcept { return detail::open01_f64(rng); }

}  // namespace pelmora::rnd
