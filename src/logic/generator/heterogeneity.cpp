#include <cstdint>
#include <cstdlib>

#include "logic/generator/generator.hpp"

namespace pelmora::logic::generator {

namespace {
double magnitude(int64_t x) {
    // |INT64_MIN| has no int64 value but converts exactly through the unsigned type.
    const uint64_t u = x < 0 ? uint64_t{0} - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
    return static_cast<double>(u);
}
}  // namespace

double compute_commodity_demand_heterogeneity(const ListMap& partition, const SupplyMap& original) {
    if (partition.empty() || original.empty()) return 0.0;

    std::size_t K = 0;
    for (std::size_t i = 0; i < partition.size() && K == 0; ++i) K = partition.row(i).size();
    if (K <= 1) return 0.0;

    const double u = 1.0 / static_cast<double>(K);
    const double k_minus_1 = static_cast<double>(K - 1);
    const double f = static_cast<double>(K) / (k_minus_1 + k_minus_1);

    double sum = 0.0;
    uint64_t count = 0;
    std::size_t j = 0;  // both maps ascend, so one forward walk finds every row
    for (std::size_t i = 0; i < original.size(); ++i) {
        const int64_t b = original.totals[i];
        if (b == 0) continue;
        const int64_t node = original.nodes[i];
        while (j < partition.size() && partition.keys[j] < node) ++j;
        if (j == partition.size()) break;
        if (partition.keys[j] != node) continue;
        const double mb = magnitude(b);
        double t = 0.0;
        for (int64_t d : partition.row(j)) t += std::abs(magnitude(d) / mb - u);
        sum += f * t;
        ++count;
    }
    if (count == 0) return 0.0;
    return sum / static_cast<double>(count);
}

}  // namespace pelmora::logic::generator
