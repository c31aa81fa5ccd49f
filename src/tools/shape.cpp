#include "tools/shape.hpp"

#include <algorithm>
#include <functional>
#include <string>

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

Outcome<DataShape> checked_shape(uint64_t nodes, uint64_t arcs, uint64_t commodities,
                                 std::initializer_list<SizedColumn> columns) {
    const std::optional<DataShape> shape = data_shape(nodes, arcs, commodities);
    if (!shape)
        return Error::value("num_commodities " + std::to_string(commodities) + " with " + std::to_string(nodes) +
                            " node ids and " + std::to_string(arcs) + " arcs makes more values than a buffer can hold");
    for (const SizedColumn& c : columns) {
        std::size_t want = 0;
        const char* per = "";
        switch (c.per) {
            case Per::Node: want = shape->nodes, per = "one per node id"; break;
            case Per::Arc: want = shape->arcs, per = "one per arc, as tails"; break;
            case Per::NodeValues: want = shape->node_values, per = "K per node id"; break;
            case Per::ArcValues: want = shape->arc_values, per = "K per arc"; break;
        }
        if (c.size != want)
            return Error::value(std::string(c.name) + " holds " + std::to_string(c.size) + " values, expected " +
                                std::to_string(want) + " (" + per + ")");
    }
    return *shape;
}

Outcome<void> check_ascending(std::span<const int64_t> node_ids) {
    const auto unordered = std::adjacent_find(node_ids.begin(), node_ids.end(), std::greater_equal<int64_t>());
    if (unordered != node_ids.end())
        return Error::value("node_ids must ascend strictly: " + std::to_string(unordered[1]) + " follows " +
                            std::to_string(unordered[0]));
    return {};
}

}  // namespace pelmora::tools
