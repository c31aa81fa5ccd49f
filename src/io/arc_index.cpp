#include "io/arc_index.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <exception>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include <sys/random.h>

#include "io/line_reader.hpp"

namespace pelmora::io {

namespace {
constexpr std::size_t kInitialSlots = 1024;
constexpr uint64_t kMaxDirect = kReserveBudget / sizeof(uint32_t);
// Below this many arcs a second thread costs about what it saves.
constexpr std::size_t kMinThreadedSort = std::size_t(1) << 16;

uint64_t mix(uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t process_key() noexcept {
    static const uint64_t key = [] {
        uint64_t k = 0;
        if (::getrandom(&k, sizeof k, GRND_NONBLOCK) != ssize_t(sizeof k)) {
            // No entropy yet (early boot): the clock and the address space layout still differ per run.
            k = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^ reinterpret_cast<uintptr_t>(&k);
        }
        return mix(k);
    }();
    return key;
}

// Runs work(0, split, 0) and work(split, end, 1) at once, the first on a thread of its own (after
// the second when no thread can be had); what the thread throws is thrown here.
template <class Work>
void in_two(std::size_t split, std::size_t end, Work&& work) {
    std::exception_ptr failure;
    std::thread first;
    try {
        first = std::thread([&]() noexcept {
            try {
                work(std::size_t(0), split, 0);
            } catch (...) {
                failure = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        // No thread to be had: the first half waits for the second.
    }
    try {
        work(split, end, 1);
    } catch (...) {
        if (first.joinable()) first.join();
        throw;
    }
    if (!first.joinable()) return work(std::size_t(0), split, 0);
    first.join();
    if (failure) std::rethrow_exception(failure);
}

// Sorts each run of one tail in order[begin, end) (which starts and ends between runs) stably by
// head, and notes in `parallel` the arcs that share their pair with an arc before them. Tails
// carry few arcs, so short runs do nearly all of the work; crowded tails fall back to a full sort.
// key(end) orders the ends as their identifiers do, and stays below `keys`.
template <class Key>
void sort_heads(Key key, std::size_t keys, std::span<const uint32_t> ends, models::PairOrder& order, std::size_t begin,
                std::size_t end, ParallelArcs& parallel) {
    std::vector<std::pair<uint32_t, uint64_t>> scratch;
    // Keys below 2^27 leave room for a run's five position bits in 32 bits.
    const bool narrow = keys < (std::size_t(1) << 27);
    for (std::size_t s = begin; s < end;) {
        uint32_t tail = ends[2 * order[s]];
        std::size_t e = s + 1;
        while (e < end && ends[2 * order[e]] == tail) ++e;
        uint64_t* run = order.data() + s;
        std::size_t len = e - s;
        s = e;
        if (len < 2) continue;
        if (len <= 32 && narrow) {
            // Branch-free: each arc's place is the number of arcs before it in (head, position)
            // order. Heads of one tail are random, which makes insertion sort mispredict. The keys
            // fit 32 bits and the count runs over whole groups of 8 (the padding keys are above
            // every real one), so that it compares several keys per instruction.
            alignas(32) uint32_t packed[32];
            uint64_t positions[32];
            const std::size_t padded = (len + 7) & ~std::size_t(7);
            for (std::size_t i = 0; i < len; ++i) {
                packed[i] = (key(ends[2 * run[i] + 1]) << 5) | uint32_t(i);
                positions[i] = run[i];
            }
            for (std::size_t i = len; i < padded; ++i) packed[i] = UINT32_MAX;
            for (std::size_t i = 0; i < len; ++i) {
                const uint32_t mine = packed[i];
                uint32_t place = 0;
                for (std::size_t j = 0; j < padded; ++j) place += packed[j] < mine;
                run[place] = positions[i];
            }
        } else {
            scratch.resize(len);
            for (std::size_t i = 0; i < len; ++i) scratch[i] = {key(ends[2 * run[i] + 1]), run[i]};
            std::sort(scratch.begin(), scratch.end());
            for (std::size_t i = 0; i < len; ++i) run[i] = scratch[i].second;
        }
        int64_t index = 0;
        for (std::size_t i = 1; i < len; ++i) {
            if (ends[2 * run[i] + 1] != ends[2 * run[i - 1] + 1]) {
                index = 0;
            } else {
                if (++index == 1) ++parallel.pairs;
                parallel.indices.emplace_back(run[i], index);
            }
        }
    }
}

}  // namespace

NodeIndex::NodeIndex() : key_(process_key()) {}

void NodeIndex::enable_direct(uint64_t limit) {
    while (pending_ != 0) register_first();
    if (!nodes_.empty() || direct_ || limit == 0) return;
    limit = std::min<uint64_t>(limit, kMaxDirect);
    // Only a speed-up: when the memory is not there, every node goes through the hash table.
    auto* table = static_cast<uint32_t*>(std::calloc(limit, sizeof(uint32_t)));
    auto* seen = static_cast<uint64_t*>(std::calloc(limit / 64 + 1, sizeof(uint64_t)));
    if (!table || !seen) {
        std::free(table);
        std::free(seen);
        return;
    }
    direct_.reset(table);
    seen_.reset(seen);
    direct_limit_ = limit;
}

void NodeIndex::first_sight(uint64_t id) {
    // What waits in the ring comes first, and may be this very node.
    while (pending_ != 0) register_first();
    add(int64_t(id));
}

void NodeIndex::fill_direct() {
    for (std::size_t i = 0; i < nodes_.size(); ++i)
        if (uint64_t(nodes_[i]) < direct_limit_) direct_[uint64_t(nodes_[i])] = uint32_t(i + 1);
}

void NodeIndex::reserve_arcs(std::size_t arcs, uint64_t declared) {
    reserve_filled(ends_, 2 * arcs);
    expected_ends_ = declared <= UINT64_MAX / 2 ? 2 * declared : 0;
}

bool NodeIndex::finish() {
    while (pending_ != 0) register_first();
    return !exhausted_;
}

void NodeIndex::to_numbers() {
    while (pending_ != 0) register_first();
    if (by_id_) {
        fill_direct();
        for (uint32_t& end : ends_) end = direct_[end] - 1;
    }
    by_id_ = false;
}

void NodeIndex::absorb(NodeIndex& later) {
    finish();
    later.finish();
    if (by_id_ && later.by_id_ && later.direct_limit_ <= direct_limit_) {
        // Identifiers both, and all in this index's range: they stand as they are.
        for (int64_t node : later.nodes_) add(node);
        grow_filled(ends_, later.ends_.size(), 0);
        ends_.insert(ends_.end(), later.ends_.begin(), later.ends_.end());
    } else {
        to_numbers();
        later.to_numbers();
        std::vector<uint32_t> renumbered(later.nodes_.size());
        for (std::size_t i = 0; i < renumbered.size(); ++i) renumbered[i] = add(later.nodes_[i]);
        grow_filled(ends_, later.ends_.size(), 0);
        for (uint32_t end : later.ends_) ends_.push_back(renumbered[end]);
    }
    exhausted_ = exhausted_ || later.exhausted_;
    later = NodeIndex(later.key_);
}

uint32_t NodeIndex::next_id(int64_t node) {
    if (nodes_.size() >= kMaxNodes) [[unlikely]] {
        // Reported by finish(); the numbers handed out meanwhile are never used.
        exhausted_ = true;
        return 0;
    }
    nodes_.push_back(node);
    return uint32_t(nodes_.size() - 1);
}

uint32_t NodeIndex::add_hashed(int64_t node) {
    if (slots_.empty() || (hashed_ + 1) * 2 > slots_.size()) grow(key_);
    for (;;) {
        std::size_t mask = slots_.size() - 1;
        std::size_t i = home_slot(node, key_, shift_);
        for (std::size_t step = 0; step <= kMaxProbe; ++step, i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.id_plus_one == 0) {
                probes_ += step;
                uint32_t id = next_id(node);
                slot = {node, id + 1};
                ++hashed_;
                return id;
            }
            if (slot.key == node) {
                probes_ += step;
                return slot.id_plus_one - 1;
            }
        }
        probes_ += kMaxProbe;
        grow(mix(key_));
    }
}

void NodeIndex::grow(uint64_t key) {
    std::size_t size = slots_.empty() ? kInitialSlots : slots_.size() * 2;
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size, Slot{0, 0}));
    shift_ = unsigned(64 - std::countr_zero(size));
    key_ = key;
    std::size_t mask = size - 1;
    for (const Slot& s : old) {
        if (s.id_plus_one == 0) continue;
        std::size_t i = home_slot(s.key, key_, shift_);
        while (slots_[i].id_plus_one != 0) {
            i = (i + 1) & mask;
            ++probes_;
        }
        slots_[i] = s;
    }
}

std::vector<uint32_t> NodeIndex::ranks() const {
    const std::size_t n = nodes_.size();
    std::vector<uint32_t> rank(n);
    if (direct_ && !by_id_ && direct_limit_ <= 4 * uint64_t(n) + 4096) {
        // The flat array lists its nodes in identifier order already; the hashed ones are the
        // negative identifiers (before it) and those past its end (after it).
        std::vector<std::pair<int64_t, uint32_t>> hashed;
        hashed.reserve(hashed_);
        for (const Slot& s : slots_)
            if (s.id_plus_one != 0) hashed.emplace_back(s.key, s.id_plus_one - 1);
        std::sort(hashed.begin(), hashed.end());
        uint32_t r = 0;
        std::size_t h = 0;
        for (; h < hashed.size() && hashed[h].first < 0; ++h) rank[hashed[h].second] = r++;
        for (uint64_t v = 0; v < direct_limit_; ++v)
            if (uint32_t slot = direct_[v]) rank[slot - 1] = r++;
        for (; h < hashed.size(); ++h) rank[hashed[h].second] = r++;
        return rank;
    }
    std::vector<std::pair<int64_t, uint32_t>> by_value(n);
    for (std::size_t i = 0; i < n; ++i) by_value[i] = {nodes_[i], uint32_t(i)};
    std::sort(by_value.begin(), by_value.end());
    for (std::size_t r = 0; r < n; ++r) rank[by_value[r].second] = uint32_t(r);
    return rank;
}

namespace {

// sort_by_pair with key(end) in place of rank[end] (keys of them all below `keys`); without
// `counting`, it gives up (nothing) where the tails do not ascend in position order.
template <class Key>
std::optional<ParallelArcs> sort_pairs(Key key, std::size_t keys, std::span<const uint32_t> ends,
                                       models::PairOrder& order, bool counting) {
    const std::size_t m = ends.size() / 2;
    order.clear();
    reserve_filled(order, m);
    order.resize(m);
    if (m == 0) return ParallelArcs{};
    const bool two = m >= kMinThreadedSort;
    ParallelArcs parallel[2];
    auto by_head = [&](std::size_t begin, std::size_t end, int half) {
        sort_heads(key, keys, ends, order, begin, end, parallel[half]);
    };
    // Where to split `order` in two: past the middle, between two tails.
    auto split = [&](auto tail_at) {
        std::size_t middle = m / 2;
        while (two && middle < m && tail_at(middle) == tail_at(middle - 1)) ++middle;
        return two ? middle : m;
    };

    // First by tail, then within one tail by head. DIMACS files usually list the arcs grouped by
    // ascending tail: each half takes its arcs in position order and, having checked that their
    // tails ascend, sorts the runs of one tail by head at once, which needs no meeting between.
    bool by_tail[2] = {true, true};
    auto in_position_order = [&](std::size_t begin, std::size_t end, int half) {
        constexpr std::size_t kBlock = 4096;  // checked a block at a time: no branch per arc
        for (std::size_t b = std::max<std::size_t>(begin, 1); b < end && by_tail[half]; b += kBlock) {
            bool ascending = true;
            for (std::size_t p = b; p < std::min(end, b + kBlock); ++p)
                ascending &= key(ends[2 * p - 2]) <= key(ends[2 * p]);
            by_tail[half] = ascending;
        }
        if (!by_tail[half]) return;
        for (std::size_t p = begin; p < end; ++p) order[p] = p;
        by_head(begin, end, half);
    };
    const std::size_t middle = split([&](std::size_t p) { return ends[2 * p]; });
    if (middle < m) in_two(middle, m, in_position_order);
    else in_position_order(0, m, 0);
    if (!by_tail[0] || !by_tail[1]) {
        if (!counting) return std::nullopt;
        // A counting sort by tail, which keeps the positions of one tail ascending; then the runs.
        parallel[0] = {};
        parallel[1] = {};
        std::vector<uint64_t> next(keys + 1, 0);
        for (std::size_t p = 0; p < m; ++p) ++next[key(ends[2 * p]) + 1];
        for (std::size_t r = 0; r < keys; ++r) next[r + 1] += next[r];
        for (std::size_t p = 0; p < m; ++p) order[next[key(ends[2 * p])]++] = p;
        const std::size_t runs_middle = split([&](std::size_t i) { return ends[2 * order[i]]; });
        if (runs_middle < m) in_two(runs_middle, m, by_head);
        else by_head(0, m, 0);
    }
    parallel[0].pairs += parallel[1].pairs;
    parallel[0].indices.insert(parallel[0].indices.end(), parallel[1].indices.begin(), parallel[1].indices.end());
    return std::move(parallel[0]);
}

}  // namespace

ParallelArcs sort_by_pair(std::span<const uint32_t> rank, std::span<const uint32_t> ends, models::PairOrder& order) {
    return *sort_pairs([rank](uint32_t end) { return rank[end]; }, rank.size(), ends, order, true);
}

ParallelArcs order_by_pair(NodeIndex& node_index, models::PairOrder& order) {
    order.clear();
    if (node_index.ends().empty()) return {};
    if (node_index.ends_by_id()) {
        // Identifiers order the arcs as they are: no ranks to look up, for files that list the
        // arcs by tail. Others are counted by tail rank, on dense numbers.
        auto identity = [](uint32_t end) { return end; };
        if (auto sorted = sort_pairs(identity, node_index.direct_limit(), node_index.ends(), order, false))
            return std::move(*sorted);
        node_index.to_numbers();
    }
    return sort_by_pair(node_index.ranks(), node_index.ends(), order);
}

uint64_t bounded_hint(int64_t declared, uint64_t file_size, uint64_t min_line_bytes, uint64_t item_bytes) noexcept {
    if (declared <= 0) return 0;
    uint64_t bound = file_size == LineReader::kUnknownSize ? (uint64_t(1) << 16) : file_size / min_line_bytes + 1;
    return std::min({uint64_t(declared), bound, kReserveBudget / item_bytes});
}

}  // namespace pelmora::io
