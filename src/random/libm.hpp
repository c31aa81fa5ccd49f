// log and exp exactly as the Rust `libm` crate computes them (its ports of FreeBSD msun
// e_log.c / e_exp.c by way of musl). rand_distr's generic code over num_traits::Float calls
// these rather than the C library, and they differ from glibc in the last bit for a few
// percent of inputs, which is enough to change a Beta draw. Non-generic f64 code in
// rand_distr calls the C library (std::log, std::pow) instead.
#pragma once

namespace pelmora::rnd::libm {

double log(double x) noexcept;
double exp(double x) noexcept;

}  // namespace pelmora::rnd::libm
