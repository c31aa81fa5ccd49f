// Batches of balancing passes replayed in bulk; balance.cpp says when that gives the same moves.
#include <algorithm>

#include "logic/generator/balancer.hpp"

namespace pelmora::logic::generator::detail {

namespace {

constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max();
// Demand values at most this far from 0 are tracked exactly inside a batch; the others only bound
// the batch length, which is therefore at least this many passes unless something else ends it.
constexpr int64_t kExactDemandMargin = 1024;
// Batches keep one simulated pass per (source, cursor) pair; beyond this many node visits in
// those tables the plain passes are used.
constexpr std::size_t kMaxTableCells = std::size_t{1} << 22;
constexpr uint32_t kNotCritical = std::numeric_limits<uint32_t>::max();
constexpr int64_t kPassesPerPoll = 256;

}  // namespace

bool Balancer::batch_allowed(std::size_t L, std::size_t D) const {
    if (N_ >= kNotCritical || L > kMaxTableCells || D > kMaxTableCells) return false;
    return L * D <= kMaxTableCells / (N_ + D);
}

// Returns the work it did, in cells, so that a batch cut short can be weighed against plain passes.
std::size_t Balancer::prepare_batch() {
    const std::size_t L = surplus_.size(), D = deficit_.size();
    s_list_.resize(L);
    d_list_.resize(D);
    for (std::size_t si = 0; si < L; ++si) s_list_[si] = surplus_.at(si);
    for (std::size_t r = 0; r < D; ++r) d_list_[r] = deficit_.at(r);
    entries_.assign(L * D, Entry{});
    inc_.clear();
    move_node_.clear();
    move_pos_.clear();
    hits_.clear();
    used_entries_.clear();
    unsettled_.clear();

    // Smallest positive supply value of each surplus commodity: passes with that source left
    // before one of them reaches 0.
    supply_margin_.assign(L, kNoLimit);
    for (std::size_t i = 0; i < N_; ++i) {
        if (sign_[i] <= 0) continue;
        const int64_t* v = rows_[i];
        for (std::size_t si = 0; si < L; ++si) {
            const int64_t x = v[s_list_[si]];
            if (x > 0 && x < supply_margin_[si]) supply_margin_[si] = x;
        }
    }
    // Demand values of deficit commodities: the ones near 0 get a counter each.
    demand_bound_ = kNoLimit;
    critical_id_.assign(N_ * D, kNotCritical);
    critical_left_.clear();
    for (std::size_t i = 0; i < N_; ++i) {
        if (sign_[i] >= 0) continue;
        const int64_t* v = rows_[i];
        for (std::size_t r = 0; r < D; ++r) {
            const int64_t x = v[d_list_[r]];
            if (x >= 0) continue;
            const int64_t margin = -x;
            if (margin <= kExactDemandMargin) {
                critical_id_[i * D + r] = static_cast<uint32_t>(critical_left_.size());
                critical_left_.push_back(margin);
            } else if (margin < demand_bound_) {
                demand_bound_ = margin;
            }
        }
    }
    deficit_room_ = room();
    return L * D + N_ * (L + D);
}

// How far the deficit commodity closest to balance still is from it.
Wide Balancer::room() const {
    Wide best = -net_[d_list_[0]];
    for (std::size_t t : d_list_) best = std::min(best, -net_[t]);
    return best;
}

// Deficit nets are not updated per pass; this adds what the entries taken since the last call
// gave them, so that its cost follows the passes since then, not all entries of the batch.
void Balancer::refresh_deficits() {
    const std::size_t D = d_list_.size();
    for (std::size_t idx : unsettled_) {
        Entry& e = entries_[idx];
        const int64_t n = e.count - e.settled;
        const int64_t* inc = inc_.data() + e.inc_begin;
        for (std::size_t r = 0; r < D; ++r) net_[d_list_[r]] += Wide(n) * inc[r];
        e.settled = e.count;
    }
    unsettled_.clear();
}

// Simulates into e, without changing anything, the full pass with source s_list_[si] that starts
// at the node cursor with deficit cursor dc0.
void Balancer::build(Entry& e, std::size_t si, std::size_t dc0) {
    const std::size_t D = d_list_.size();
    e.inc_begin = inc_.size();
    inc_.resize(e.inc_begin + D, 0);
    int64_t* inc = inc_.data() + e.inc_begin;
    e.move_begin = move_node_.size();
    e.hit_begin = hits_.size();
    std::size_t nc = nc_, dc = dc0;
    walk(
        s_list_[si], D, nc, dc, [&](std::size_t r) { return d_list_[r]; },
        [&](std::size_t i, std::size_t r, std::size_t) {
            move_node_.push_back(static_cast<uint32_t>(i));
            move_pos_.push_back(static_cast<uint32_t>(r));
            ++inc[r];
            const uint32_t id = sign_[i] < 0 ? critical_id_[i * D + r] : kNotCritical;
            if (id != kNotCritical) hits_.push_back(id);
            return false;
        });
    e.move_end = move_node_.size();
    e.hit_end = hits_.size();
    e.moves = static_cast<int64_t>(e.move_end - e.move_begin);
    e.next_dc = static_cast<uint32_t>(dc);
    e.built = true;
}

void Balancer::flush() {
    const std::size_t D = d_list_.size();
    refresh_deficits();
    for (std::size_t idx : used_entries_) {
        Entry& e = entries_[idx];
        const std::size_t s = s_list_[idx / D];
        const int64_t n = e.count;
        for (std::size_t m = e.move_begin; m < e.move_end; ++m) {
            int64_t* v = rows_[move_node_[m]];
            v[s] -= n;
            v[d_list_[move_pos_[m]]] += n;
        }
        e.count = e.settled = 0;
    }
    used_entries_.clear();
    if (pending_words_ != 0) {
        rng_->discard_u32(pending_words_);
        pending_words_ = 0;
    }
}

// Runs passes until one of them could change what the batch relies on; returns whether a unit
// moved. An interrupted batch leaves the partition half updated: the call is then abandoned.
bool Balancer::run_batch() {
    const std::size_t cost = prepare_batch();
    const std::size_t L = s_list_.size(), D = d_list_.size();
    int64_t passes = 0;
    Wide pending = 0;  // units moved since the deficit nets were last brought up to date
    bool moved = true;
    for (;;) {
        std::size_t si = 0;
        if (rng_) {
            if (L == 1) ++pending_words_;  // a draw from [0, 1) always takes exactly one word
            else si = static_cast<std::size_t>(rnd::random_range_usize(*rng_, L));
        }
        const std::size_t s = s_list_[si];
        const std::size_t idx = si * D + dc_;
        Entry& e = entries_[idx];
        if (!e.built) {
            build(e, si, dc_);
            if (stopped_) return false;
        }
        Wide& net_s = net_[s];
        if (Wide(e.moves) >= net_s) {
            flush();
            moved = direct_pass(s);
            break;
        }
        net_s -= e.moves;
        if (e.count == 0) used_entries_.push_back(idx);
        if (e.count++ == e.settled) unsettled_.push_back(idx);
        dc_ = e.next_dc;
        bool end = --supply_margin_[si] == 0;
        end |= ++passes == demand_bound_;
        for (std::size_t h = e.hit_begin; h < e.hit_end; ++h) end |= --critical_left_[hits_[h]] == 0;
        // No deficit commodity can have received more units than were moved in total.
        pending += e.moves;
        if (pending >= deficit_room_) {
            refresh_deficits();
            const Wide left = room();
            end |= left <= 0;
            deficit_room_ = left;
            pending = 0;
        }
        if (passes % kPassesPerPoll == 0 && interrupted()) {
            stopped_ = true;
            return false;
        }
        if (end) {
            flush();
            break;
        }
    }
    for (std::size_t c : s_list_) sync(c);
    for (std::size_t c : d_list_) sync(c);
    // A batch cut short costs more than the plain passes it replaced; these then run until they
    // have done as much work as its tables took, so that batches that keep failing cost at most
    // as much again as the plain passes.
    const bool paid_off = passes >= 4 && static_cast<std::size_t>(passes) * N_ >= cost;
    cool_down_ = paid_off ? 0 : std::max(cost, 4 * N_);
    return moved;
}

}  // namespace pelmora::logic::generator::detail
