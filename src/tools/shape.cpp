#include "tools/shape.hpp"

namespace pelmora::tools {

namespace {

constexpr uint64_t kMaxBufferBytes = uint64_t(INT64_MAX);  // Py_ssize_t on the 64-bit targets built for

bool values_fit(uint64_t rows, uint64_t k, std::size_t& count) noexcept {
    uint64_t values, bytes;
    if (__builtin_mul_overflow(rows, k, &values) || __builtin_mul_overflow(values, sizeof(int64_t), &bytes) ||
        bytes > kMaxBufferBytes)
        return false;
    count = std::size_t(values);
    return true;
}

}  // namespace

std::optional<DataShape> data_shape(uint64_t nodes, uint64_t arcs, uint64_t commodities) noexcept {
    DataShape shape{std::size_t(nodes), std::size_t(arcs), commodities, 0, 0};
    if (!values_fit(nodes, commodities, shape.node_values) || !values_fit(arcs, commodities, shape.arc_values))
        return std::nullopt;
    return shape;
}

}  // namespace pelmora::tools
