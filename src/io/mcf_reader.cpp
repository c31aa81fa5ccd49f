// The multi-commodity file reader (parse_multi_min).
#include <string>
#include <vector>

#include "core/keep_last.hpp"
#include "io/arc_index.hpp"
#include "io/files.hpp"
#include "io/record_lines.hpp"
#include "utils/headroom.hpp"

namespace pelmora::io {

namespace {

using models::ParsedMulticommodityInstance;

// The shortest arc line, "a 1 2 3 4 5 6", bounds how many arcs a file of a given size can hold.
constexpr uint64_t kMinArcLineBytes = 13;
constexpr uint64_t kMinNodeBytes = 2;

struct NodeLine {
    int64_t node;
    int64_t total;
    std::size_t first;  // its values are values[first, first + count)
    std::size_t count;
};

// The capacity and cost lists of K values each that one arc line adds.
bool line_value_bytes(uint64_t k, uint64_t& bytes) noexcept {
    return !__builtin_mul_overflow(k, uint64_t(2 * sizeof(int64_t)), &bytes);
}

std::string commodity_field(std::string_view what, bool expanded, std::size_t k) {
    std::string out(what);
    if (expanded) out += " of commodity " + std::to_string(k);
    return out;
}

class MultiReader {
public:
    explicit MultiReader(models::CommodityValues* lows) : lows_(lows) {}
    Outcome<ParsedMulticommodityInstance> read(std::string_view path);

private:
    Outcome<void> problem_line(Tokens& tokens);
    Outcome<void> node_line(Tokens& tokens);
    Outcome<void> arc_line(Tokens& tokens);
    Outcome<void> group(Tokens& tokens, models::CommodityValues& into, bool expanded, std::size_t first_token,
                        std::string_view what);
    Error at_line(const std::string& text) const { return line_error(reader_.line_number(), text); }
    Error out_of_memory() const {
        return at_line(std::to_string(r_.num_commodities) +
                       " commodities are more than the available memory can hold for " +
                       std::to_string(r_.arcs.size() + 1) + " arcs");
    }

    LineReader reader_;
    ParsedMulticommodityInstance r_;
    bool have_problem_ = false;
    bool caps_expanded_ = false;
    NodeIndex node_index_;
    std::vector<NodeLine> node_lines_;
    std::vector<int64_t> node_values_;
    uint64_t declared_arcs_ = 0;     // what the problem line declares
    uint64_t expected_values_ = 0;   // what the problem line declares for each list
    models::CommodityValues* lows_;  // null: the LOW field is skipped unparsed
};

Outcome<void> MultiReader::problem_line(Tokens& tokens) {
    // The fields are parsed out of order (the seed before the flags), so collect them first.
    std::string_view t[11];
    std::size_t count = 1;
    while (count < 11 && tokens.next(t[count])) ++count;
    static constexpr std::string_view kNames[11] = {"",
                                                    "problem type",
                                                    "node count",
                                                    "arc count",
                                                    "number of commodities",
                                                    "capacity flag",
                                                    "cost flag",
                                                    "method",
                                                    "exclusion flag",
                                                    "exclusion fraction",
                                                    "seed"};
    auto need = [&](std::size_t i) { return i < count; };
    auto missing = [&](std::size_t i) {
        return token_error(utils::ParseStatus::missing, reader_.line_number(), "problem", kNames[i], i);
    };
    auto failed = [](utils::ParseStatus s) { return Error::io(std::string(utils::parse_message(s))); };

    if (!need(1)) return missing(1);
    int64_t nodes, arcs, flags[4];
    uint64_t k, seed;
    utils::ParseStatus s;
    if (!need(2)) return missing(2);
    if ((s = utils::parse_i64(t[2], nodes)) != utils::ParseStatus::ok) return failed(s);
    if (!need(3)) return missing(3);
    if ((s = utils::parse_i64(t[3], arcs)) != utils::ParseStatus::ok) return failed(s);
    if (!need(4)) return missing(4);
    if ((s = utils::parse_u64(t[4], k)) != utils::ParseStatus::ok) return failed(s);
    // The seed is parsed before the flags, so a line that ends early misses it first.
    if (!need(10)) return missing(10);
    if ((s = utils::parse_u64(t[10], seed)) != utils::ParseStatus::ok) return failed(s);
    for (std::size_t i = 5; i <= 8; ++i)
        if ((s = utils::parse_i64(t[i], flags[i - 5])) != utils::ParseStatus::ok) return failed(s);
    double fraction;
    if ((s = utils::parse_f64(t[9], fraction)) != utils::ParseStatus::ok)
        return Error::io(std::string(utils::float_parse_message(s)));

    const bool randomized_capacities = flags[0] != 0, randomized_weights = flags[1] != 0, cap_zero = flags[3] != 0;
    if (!r_.arcs.empty()) {
        // Arc lines already read carry values laid out for the K and flags then in force.
        if (k != r_.num_commodities)
            return at_line("problem line changes the number of commodities from " + std::to_string(r_.num_commodities) +
                           " to " + std::to_string(k) + " after arc lines were read");
        if (randomized_capacities != r_.randomized_capacities || randomized_weights != r_.randomized_weights ||
            cap_zero != r_.cap_zero)
            return at_line("problem line changes the capacity, cost or exclusion flags after arc lines were read");
    }
    r_.num_nodes = nodes;
    r_.num_arcs = arcs;
    r_.num_commodities = k;
    r_.randomized_capacities = randomized_capacities;
    r_.randomized_weights = randomized_weights;
    r_.method = flags[2];
    r_.cap_zero = cap_zero;
    r_.cap_zero_param = fraction;
    r_.seed = seed;
    caps_expanded_ = randomized_capacities || cap_zero;
    have_problem_ = true;

    uint64_t arc_bytes = sizeof(models::ArcKey) + 2 * sizeof(uint32_t), values;
    if (!line_value_bytes(k, values) || __builtin_add_overflow(arc_bytes, values, &arc_bytes)) arc_bytes = UINT64_MAX;
    const uint64_t hint = bounded_hint(arcs, reader_.file_size(), kMinArcLineBytes, arc_bytes);
    if (arcs < 0 || __builtin_mul_overflow(uint64_t(arcs), k, &expected_values_)) expected_values_ = 0;
    declared_arcs_ = arcs > 0 ? uint64_t(arcs) : 0;
    reserve_filled(r_.arcs, hint);
    if (lows_) reserve_filled(*lows_, hint);
    node_index_.reserve_arcs(hint, declared_arcs_);
    reserve_filled(r_.arc_capacities, hint * k);
    reserve_filled(r_.costs, hint * k);
    if (nodes < INT64_MAX)
        node_index_.enable_direct(bounded_hint(nodes + 1, reader_.file_size(), kMinNodeBytes, sizeof(uint32_t)));
    return {};
}

Outcome<void> MultiReader::node_line(Tokens& tokens) {
    static constexpr std::string_view kNames[3] = {"", "node identifier", "total"};
    int64_t v[2];
    for (int i = 0; i < 2; ++i) {
        utils::ParseStatus s = tokens.next_i64(v[i]);
        if (s != utils::ParseStatus::ok)
            return token_error(s, reader_.line_number(), "node", kNames[i + 1], std::size_t(i + 1));
    }
    NodeLine line{v[0], v[1], node_values_.size(), 0};
    for (;;) {
        int64_t value;
        utils::ParseStatus s = tokens.next_i64(value);
        if (s == utils::ParseStatus::missing) break;
        if (s != utils::ParseStatus::ok) return Error::io(std::string(utils::parse_message(s)));
        node_values_.push_back(value);
    }
    line.count = node_values_.size() - line.first;
    node_lines_.push_back(line);
    node_index_.add_node(v[0]);
    return {};
}

Outcome<void> MultiReader::group(Tokens& tokens, models::CommodityValues& into, bool expanded, std::size_t first_token,
                                 std::string_view what) {
    const uint64_t k = r_.num_commodities;
    if (expanded) {
        // Grows with the tokens actually there, so a short line cannot make it allocate K values.
        for (uint64_t i = 0; i < k; ++i) {
            int64_t value;
            utils::ParseStatus s = tokens.next_i64(value);
            if (s != utils::ParseStatus::ok) [[unlikely]]
                return token_error(s, reader_.line_number(), "arc", commodity_field(what, true, i), first_token + i);
            if (into.size() == into.capacity() && !utils::make_room(into, 1, expected_values_)) [[unlikely]]
                return out_of_memory();
            into.push_back(value);
        }
    } else {
        int64_t value;
        utils::ParseStatus s = tokens.next_i64(value);
        if (s != utils::ParseStatus::ok) return token_error(s, reader_.line_number(), "arc", what, first_token);
        if (!utils::make_room(into, k, expected_values_)) return out_of_memory();
        into.insert(into.end(), k, value);
    }
    return {};
}

Outcome<void> MultiReader::arc_line(Tokens& tokens) {
    if (!have_problem_) return at_line("arc line before the problem line");
    static constexpr std::string_view kNames[5] = {"", "tail", "head", "lower bound", "capacity"};
    int64_t tail, head, low = 0, up;
    utils::ParseStatus s;
    if ((s = tokens.next_i64(tail)) != utils::ParseStatus::ok)
        return token_error(s, reader_.line_number(), "arc", kNames[1], 1);
    if ((s = tokens.next_i64(head)) != utils::ParseStatus::ok)
        return token_error(s, reader_.line_number(), "arc", kNames[2], 2);
    if (lows_) {
        if ((s = tokens.next_i64(low)) != utils::ParseStatus::ok)
            return token_error(s, reader_.line_number(), "arc", kNames[3], 3);
    } else if (std::string_view text; !tokens.next(text)) {  // present but unparsed: any text is accepted
        return token_error(utils::ParseStatus::missing, reader_.line_number(), "arc", kNames[3], 3);
    }
    if ((s = tokens.next_i64(up)) != utils::ParseStatus::ok)
        return token_error(s, reader_.line_number(), "arc", kNames[4], 4);

    // Refused before anything is allocated: a K whose values for this one line cannot be had, even
    // when the line itself is short. Lines of fewer values are left to the growth of the lists.
    const uint64_t k = r_.num_commodities;
    uint64_t bytes;
    if (!line_value_bytes(k, bytes) || (bytes > kReserveBudget && bytes > utils::allocatable_bytes()))
        return out_of_memory();

    if (auto g = group(tokens, r_.arc_capacities, caps_expanded_, 5, "capacity"); !g) return g;
    const std::size_t cost_token = caps_expanded_ ? 5 + k : 6;
    if (auto g = group(tokens, r_.costs, r_.randomized_weights, cost_token, "cost"); !g) return g;

    node_index_.add_arc(tail, head);
    grow_filled(r_.arcs, 1, declared_arcs_);
    r_.arcs.push_back({tail, head, 0, up});
    if (lows_) {
        grow_filled(*lows_, 1, declared_arcs_);
        lows_->push_back(low);
    }
    return {};
}

Outcome<ParsedMulticommodityInstance> MultiReader::read(std::string_view path) {
    Outcome<void> read = read_records(reader_, path, [this](char kind, Tokens& tokens) -> Outcome<void> {
        switch (kind) {
            case 'a': return arc_line(tokens);
            case 'n': return node_line(tokens);
            case 'p': return problem_line(tokens);
            default: return {};
        }
    });
    if (!read) return read.error();

    if (!node_index_.finish()) return Error::io(std::string(NodeIndex::kExhausted));
    std::vector<models::ArcKey>& arcs = r_.arcs;
    r_.parallel = index_parallel_arcs(node_index_, r_.pair_order,
                                      [&arcs](uint64_t p, int64_t index) { arcs[p].index = index; }) != 0;
    node_index_.release_ends();
    trim_slack(arcs);
    trim_slack(r_.arc_capacities);
    trim_slack(r_.costs);
    if (lows_) trim_slack(*lows_);
    r_.nodes = std::move(node_index_.nodes());
    trim_slack(r_.nodes);

    sort_keep_last(node_lines_, [](const NodeLine& l) { return l.node; });
    r_.supplies.nodes.reserve(node_lines_.size());
    r_.supplies.totals.reserve(node_lines_.size());
    models::ListMap& partition = r_.commodity_supply_demand_data;
    partition.keys.reserve(node_lines_.size());
    partition.offsets.reserve(node_lines_.size() + 1);
    for (const NodeLine& nl : node_lines_) {
        r_.supplies.nodes.push_back(nl.node);
        r_.supplies.totals.push_back(nl.total);
        partition.push_row(nl.node, std::span<const int64_t>(node_values_.data() + nl.first, nl.count));
    }
    return std::move(r_);
}

}  // namespace

Outcome<ParsedMulticommodityInstance> parse_multi_min(std::string_view path, models::CommodityValues* lows) {
    auto reader = std::make_unique<MultiReader>(lows);
    return reader->read(path);
}

}  // namespace pelmora::io
