// Balancing moves one unit per node visit, so on large totals it makes ~10^9 visits. The loop
// below gives the same result, unit for unit and draw for draw, as the plain pass-by-pass
// algorithm, but replays whole passes at once while nothing that decides a pass can change:
//
// Between two passes the state that decides the next pass is (source s, deficit cursor, which
// values are non-zero); the node cursor is back where it started after every full pass. As long
// as the surplus and deficit lists stay the same and no relevant value reaches 0, a pass from
// (s, cursor) always makes the same moves, so each distinct (s, cursor) is simulated once per
// batch, the passes only count how often each was taken, and the moves are applied in bulk at
// the end of the batch. The batch hands over to a plain pass when the next pass could bring net s
// to 0 (it might end early, leaving the node cursor elsewhere), and it ends after the pass that
// could have changed what the next pass depends on:
//   - a deficit commodity's net reaching 0 or more (the lists are rebuilt at the next pass; the
//     deficit nets are only brought up to date when the units moved since could have got there);
//   - a supply node's value of a surplus commodity reaching 0 (exact: every pass with source s
//     takes one unit from every such value);
//   - a demand node's value of a deficit commodity reaching 0 (values close to 0 are tracked
//     exactly, the others by a bound: a pass changes a node by at most one unit).
// With a single surplus commodity every pass still draws from [0, 1), one word each; those words
// are skipped in one go.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/interrupt.hpp"
#include "logic/generator/generator.hpp"

namespace pelmora::logic::generator {
namespace {

using Wide = __int128;  // net totals add up many 64-bit amounts

constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max();
// Demand values at most this far from 0 are tracked exactly inside a batch; the others only bound
// the batch length, which is therefore at least this many passes unless something else ends it.
constexpr int64_t kExactDemandMargin = 1024;
// Batches keep one simulated pass per (source, cursor) pair; beyond this many node visits in
// those tables the plain passes are used.
constexpr std::size_t kMaxTableCells = std::size_t{1} << 22;
constexpr uint32_t kNotCritical = std::numeric_limits<uint32_t>::max();

class Balancer {
public:
    Balancer(SupplyPartition& partition, const SupplyMap& supplies, std::size_t K, rnd::StdRng* rng)
        : K_(K), rng_(rng) {
        N_ = partition.size();
        rows_.resize(N_);
        sign_.assign(N_, 0);
        std::size_t j = 0;
        for (std::size_t i = 0; i < N_; ++i) {
            rows_[i] = partition.values.data() + partition.offsets[i];
            const int64_t node = partition.keys[i];
            while (j < supplies.size() && supplies.nodes[j] < node) ++j;
            if (j < supplies.size() && supplies.nodes[j] == node)
                sign_[i] = static_cast<int8_t>((supplies.totals[j] > 0) - (supplies.totals[j] < 0));
        }
        net_.assign(K_, 0);
        for (std::size_t i = 0; i < N_; ++i)
            for (std::size_t c = 0; c < K_; ++c) net_[c] += rows_[i][c];
        surplus_.reserve(K_);
        deficit_.reserve(K_);
    }

    void run() {
        if (K_ == 0) return;
        for (;;) {
            surplus_.clear();
            deficit_.clear();
            for (std::size_t c = 0; c < K_; ++c) {
                if (net_[c] > 0) surplus_.push_back(c);
                else if (net_[c] < 0) deficit_.push_back(c);
            }
            if (surplus_.empty() || deficit_.empty()) return;
            // A stopped call discards the partition, so it may be left half balanced.
            if (interrupted()) return;
            if (dc_ >= deficit_.size()) dc_ = 0;
            bool moved;
            if (batch_allowed() && !cool_down_) {
                moved = run_batch();
            } else {
                if (cool_down_) --cool_down_;
                moved = direct_pass(surplus_[draw_source()]);
            }
            // Only inputs breaking the callers' guarantees (mixed signs in a node) can leave a
            // pass without a move; the passes would then repeat forever.
            if (!moved) return;
        }
    }

private:
    // ---- the plain algorithm -------------------------------------------------------------

    std::size_t draw_source() {
        if (!rng_) return 0;
        return static_cast<std::size_t>(rnd::random_range_usize(*rng_, surplus_.size()));
    }

    void move_unit(int64_t* v, std::size_t s, std::size_t t) {
        --v[s];
        ++v[t];
        --net_[s];
        ++net_[t];
    }

    // One pass with source s from the current cursors; returns whether a unit moved.
    bool direct_pass(std::size_t s) {
        const std::size_t D = deficit_.size();
        bool moved = false;
        std::size_t visits = 0;
        do {
            int64_t* v = rows_[nc_];
            if (sign_[nc_] > 0) {
                if (v[s] > 0) {
                    const std::size_t t = deficit_[dc_];
                    if (++dc_ == D) dc_ = 0;
                    move_unit(v, s, t);
                    moved = true;
                }
            } else if (sign_[nc_] < 0) {
                for (std::size_t e = 0; e < D; ++e) {
                    const std::size_t t = deficit_[dc_];
                    if (++dc_ == D) dc_ = 0;
                    if (v[t] < 0) {
                        move_unit(v, s, t);
                        moved = true;
                        break;
                    }
                }
            }
            if (++nc_ == N_) nc_ = 0;
        } while (++visits < N_ && net_[s] != 0);
        return moved;
    }

    // ---- batches ---------------------------------------------------------------------------

    struct Entry {
        bool built = false;
        uint32_t next_dc = 0;
        int64_t moves = 0;
        int64_t count = 0;  // passes of the current batch that took this entry
        std::size_t move_begin = 0, move_end = 0;
        std::size_t hit_begin = 0, hit_end = 0;
    };

    bool batch_allowed() const {
        const std::size_t L = surplus_.size(), D = deficit_.size();
        if (N_ >= kNotCritical) return false;
        const std::size_t pairs = L * D;
        return pairs <= kMaxTableCells / std::max<std::size_t>(N_ + D, 1);
    }

    void prepare_batch() {
        const std::size_t L = surplus_.size(), D = deficit_.size();
        entries_.assign(L * D, Entry{});
        inc_.assign(L * D * D, 0);
        move_node_.clear();
        move_pos_.clear();
        hits_.clear();
        used_entries_.clear();

        // Smallest positive supply value of each surplus commodity: passes with that source left
        // before one of them reaches 0.
        supply_margin_.assign(L, kNoLimit);
        for (std::size_t i = 0; i < N_; ++i) {
            if (sign_[i] <= 0) continue;
            const int64_t* v = rows_[i];
            for (std::size_t si = 0; si < L; ++si) {
                const int64_t x = v[surplus_[si]];
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
                const int64_t x = v[deficit_[r]];
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
        deficit_start_.resize(D);
        for (std::size_t r = 0; r < D; ++r) deficit_start_[r] = net_[deficit_[r]];
        deficit_room_ = room();
    }

    // How far the deficit commodity closest to balance still is from it.
    Wide room() const {
        Wide best = -net_[deficit_[0]];
        for (std::size_t t : deficit_) best = std::min(best, -net_[t]);
        return best;
    }

    // Deficit nets are not updated per pass; this brings them up to date from the batch's counts.
    void refresh_deficits() {
        const std::size_t D = deficit_.size();
        for (std::size_t r = 0; r < D; ++r) net_[deficit_[r]] = deficit_start_[r];
        for (std::size_t idx : used_entries_) {
            const int64_t n = entries_[idx].count;
            const int64_t* inc = inc_.data() + idx * D;
            for (std::size_t r = 0; r < D; ++r) net_[deficit_[r]] += Wide(n) * inc[r];
        }
    }

    // Simulates, without changing anything, the full pass with source surplus_[si] that starts at
    // the node cursor with deficit cursor dc0.
    Entry& entry(std::size_t si, std::size_t dc0) {
        const std::size_t D = deficit_.size();
        Entry& e = entries_[si * D + dc0];
        if (e.built) return e;
        const std::size_t s = surplus_[si];
        int64_t* inc = inc_.data() + (si * D + dc0) * D;
        e.move_begin = move_node_.size();
        e.hit_begin = hits_.size();
        std::size_t dc = dc0;
        std::size_t i = nc_;
        for (std::size_t visits = 0; visits < N_; ++visits) {
            const int64_t* v = rows_[i];
            if (sign_[i] > 0) {
                if (v[s] > 0) {
                    move_node_.push_back(static_cast<uint32_t>(i));
                    move_pos_.push_back(static_cast<uint32_t>(dc));
                    ++inc[dc];
                    if (++dc == D) dc = 0;
                }
            } else if (sign_[i] < 0) {
                for (std::size_t k = 0; k < D; ++k) {
                    const std::size_t r = dc;
                    if (++dc == D) dc = 0;
                    if (v[deficit_[r]] < 0) {
                        move_node_.push_back(static_cast<uint32_t>(i));
                        move_pos_.push_back(static_cast<uint32_t>(r));
                        ++inc[r];
                        const uint32_t id = critical_id_[i * D + r];
                        if (id != kNotCritical) hits_.push_back(id);
                        break;
                    }
                }
            }
            if (++i == N_) i = 0;
        }
        e.move_end = move_node_.size();
        e.hit_end = hits_.size();
        e.moves = static_cast<int64_t>(e.move_end - e.move_begin);
        e.next_dc = static_cast<uint32_t>(dc);
        e.built = true;
        return e;
    }

    void flush() {
        const std::size_t D = deficit_.size();
        refresh_deficits();
        for (std::size_t idx : used_entries_) {
            Entry& e = entries_[idx];
            const std::size_t s = surplus_[idx / D];
            const int64_t n = e.count;
            for (std::size_t m = e.move_begin; m < e.move_end; ++m) {
                int64_t* v = rows_[move_node_[m]];
                v[s] -= n;
                v[deficit_[move_pos_[m]]] += n;
            }
            e.count = 0;
        }
        used_entries_.clear();
        if (pending_words_ != 0) {
            rng_->discard_u32(pending_words_);
            pending_words_ = 0;
        }
    }

    // Runs passes until one of them could change what the batch relies on; returns whether a
    // unit moved.
    bool run_batch() {
        prepare_batch();
        const std::size_t L = surplus_.size(), D = deficit_.size();
        int64_t passes = 0;
        Wide pending = 0;  // units moved since the deficit nets were last brought up to date
        bool moved = true;
        for (;;) {
            std::size_t si = 0;
            if (rng_) {
                if (L == 1) ++pending_words_;  // a draw from [0, 1) always takes exactly one word
                else si = static_cast<std::size_t>(rnd::random_range_usize(*rng_, L));
            }
            const std::size_t s = surplus_[si];
            const std::size_t idx = si * D + dc_;
            Entry& e = entry(si, dc_);
            Wide& net_s = net_[s];
            if (Wide(e.moves) >= net_s) {
                flush();
                moved = direct_pass(s);
                break;
            }
            net_s -= e.moves;
            if (e.count++ == 0) used_entries_.push_back(idx);
            dc_ = e.next_dc;
            bool end = --supply_margin_[si] == 0;
            end |= ++passes == demand_bound_;
            end |= (passes & 1023) == 0 && interrupted();
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
            if (end) {
                flush();
                break;
            }
        }
        // A batch cut short over and over costs more than plain passes; back off for a while.
        cool_down_ = passes < 4 ? 4 : 0;
        return moved;
    }

    std::size_t N_ = 0;
    std::size_t K_ = 0;
    rnd::StdRng* rng_ = nullptr;
    std::vector<int64_t*> rows_;
    std::vector<int8_t> sign_;
    std::vector<Wide> net_;
    std::vector<std::size_t> surplus_, deficit_;
    std::size_t nc_ = 0;  // node cursor, lives for the whole call
    std::size_t dc_ = 0;  // deficit cursor, likewise
    int cool_down_ = 0;

    std::vector<Entry> entries_;          // per (surplus index, deficit cursor)
    std::vector<int64_t> inc_;            // per entry, units each deficit position receives
    std::vector<uint32_t> move_node_, move_pos_;
    std::vector<uint32_t> hits_;          // per entry, the exactly tracked demand values it raises
    std::vector<std::size_t> used_entries_;
    std::vector<int64_t> supply_margin_;  // per surplus index
    std::vector<Wide> deficit_start_;     // deficit nets when the batch began
    Wide deficit_room_ = 0;
    std::vector<uint32_t> critical_id_;   // per (node, deficit position)
    std::vector<int64_t> critical_left_;
    int64_t demand_bound_ = kNoLimit;
    uint64_t pending_words_ = 0;
};

}  // namespace

void balance_commodities(SupplyPartition& partition, const SupplyMap& supplies, uint64_t num_commodities,
                         rnd::StdRng* rng) {
    // Without rows every net total is 0, so the first pass would find no surplus and return without
    // a draw. Returning here also spares allocating K net totals for a K that no row could hold
    // (split_supplies_uniform({}, 2**62) raised PanicException from std::vector's length check).
    if (partition.empty()) return;
    Balancer(partition, supplies, static_cast<std::size_t>(num_commodities), rng).run();
}

}  // namespace pelmora::logic::generator
