// The balancing routine's state and its pass rule, shared by the plain passes (balance.cpp) and
// the batches that replay many passes at once (balance_batch.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/interrupt.hpp"
#include "core/outcome.hpp"
#include "logic/generator/commodity_set.hpp"
#include "models/records.hpp"
#include "random/random.hpp"

namespace pelmora::logic::generator::detail {

using models::SupplyMap;
using models::SupplyPartition;
using Wide = __int128;  // net totals add up many 64-bit amounts

class Balancer {
public:
    Balancer(SupplyPartition& partition, const SupplyMap& supplies, std::size_t K, rnd::StdRng* rng);
    Outcome<void> run();

private:
    // The pass rule. Visits at most N nodes from node cursor `nc` with source s, the deficit list
    // of length D read through `deficit_at(position)` and deficit cursor `dc`, and calls
    // `move(node, position, target)` for every unit the pass moves; a true answer ends the pass
    // (after the cursor has left that node). Values are only read, so a simulation may leave
    // them as they are: a pass visits each node once. Returns the visits made; stops early, with
    // stopped_ set, when interrupted.
    template <class DeficitAt, class Move>
    std::size_t walk(std::size_t s, std::size_t D, std::size_t& nc, std::size_t& dc, DeficitAt&& deficit_at,
                     Move&& move) {
        std::size_t visits = 0;
        while (visits < N_) {
            const std::size_t i = nc;
            if (++nc == N_) nc = 0;
            ++visits;
            const int64_t* v = rows_[i];
            bool end = false;
            if (sign_[i] > 0) {
                if (v[s] > 0) {
                    const std::size_t r = dc;
                    if (++dc == D) dc = 0;
                    end = move(i, r, deficit_at(r));
                }
            } else if (sign_[i] < 0) {
                for (std::size_t e = 0; e < D; ++e) {
                    const std::size_t r = dc;
                    if (++dc == D) dc = 0;
                    const std::size_t t = deficit_at(r);
                    if (v[t] < 0) {
                        end = move(i, r, t);
                        break;
                    }
                }
            }
            if (end) break;
            if (visits % kVisitsPerPoll == 0 && interrupted()) {
                stopped_ = true;
                break;
            }
        }
        return visits;
    }

    std::size_t draw(std::size_t L);  // the source's place in the surplus list
    void sync(std::size_t c);         // moves c to the list its net total now calls for
    bool direct_pass(std::size_t s);  // one pass, moves applied as they happen
    bool batch_allowed(std::size_t L, std::size_t D) const;
    bool run_batch();  // passes replayed in bulk; ends with the lists synced

    // balance_batch.cpp
    struct Entry {
        bool built = false;
        uint32_t next_dc = 0;
        int64_t moves = 0;
        int64_t count = 0;    // passes of the current batch that took this entry
        int64_t settled = 0;  // of those, the ones already added to the deficit nets
        std::size_t move_begin = 0, move_end = 0;
        std::size_t hit_begin = 0, hit_end = 0;
        std::size_t inc_begin = 0;  // D counts in inc_
    };
    std::size_t prepare_batch();
    Wide room() const;
    void refresh_deficits();
    void build(Entry& e, std::size_t si, std::size_t dc0);
    void flush();

    static constexpr std::size_t kVisitsPerPoll = std::size_t{1} << 16;

    std::size_t N_ = 0;
    std::size_t K_ = 0;
    rnd::StdRng* rng_ = nullptr;
    std::vector<int64_t*> rows_;
    std::vector<int8_t> sign_;  // per node: the sign of its total
    std::vector<Wide> net_;
    std::vector<int8_t> state_;         // per commodity: which list holds it (+1, -1 or none)
    CommoditySet surplus_, deficit_;    // as of the start of the current pass
    std::vector<std::size_t> touched_;  // commodities whose net the current pass changed
    std::size_t nc_ = 0;                // node cursor, lives for the whole call
    std::size_t dc_ = 0;                // deficit cursor, likewise
    std::size_t cool_down_ = 0;         // node visits of plain passes before the next batch may start
    bool stopped_ = false;

    // One batch's tables, over the two lists as they stand when it starts.
    std::vector<std::size_t> s_list_, d_list_;
    std::vector<Entry> entries_;  // per (surplus index, deficit cursor)
    std::vector<int64_t> inc_;    // per built entry, units each deficit position receives
    std::vector<uint32_t> move_node_, move_pos_;
    std::vector<uint32_t> hits_;  // per entry, the exactly tracked demand values it raises
    std::vector<std::size_t> used_entries_;
    std::vector<std::size_t> unsettled_;  // entries taken since the deficit nets were brought up to date
    std::vector<int64_t> supply_margin_;  // per surplus index
    Wide deficit_room_ = 0;
    std::vector<uint32_t> critical_id_;  // per (node, deficit position)
    std::vector<int64_t> critical_left_;
    int64_t demand_bound_ = std::numeric_limits<int64_t>::max();
    uint64_t pending_words_ = 0;
};

}  // namespace pelmora::logic::generator::detail
