// The .min reader's records, gathered per stretch of lines, and the reading of a file's second
// half on a thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "core/outcome.hpp"
#include "io/arc_index.hpp"
#include "io/line_reader.hpp"
#include "models/network_lines.hpp"
#include "models/records.hpp"

namespace pelmora::io {

// What the records of a stretch of consecutive lines add up to: their arcs and node lines in file
// order, their nodes numbered in order of first appearance, the counts of their last problem line.
struct MinPart {
    std::vector<models::Edge> edges;
    NodeIndex node_index;
    std::vector<models::NodeLine> supply_lines;
    uint64_t declared_arcs = 0;  // the problem line's arc count, where growth may stop
    int64_t num_nodes = 0;
    int64_t num_arcs = 0;
    bool problem_seen = false;
};

// A node identifier and the white space after it: what a node costs a file at least.
inline constexpr uint64_t kMinNodeBytes = 2;
// The flat array's size for a problem line declaring `nodes` nodes, bounded by what `bytes` of
// lines can name (NodeIndex::enable_direct).
uint64_t direct_hint(int64_t nodes, uint64_t bytes);

// Reads the records of `reader` into `part`; on_problem() runs after each problem line.
using OnProblem = void (*)(void* context, MinPart& part);
Outcome<void> read_min_part(LineReader& reader, MinPart& part, OnProblem on_problem = nullptr, void* context = nullptr);

// Appends what `later` (the stretch of lines right after `part`'s) holds but its arcs to `part`,
// as if one part had read both stretches; AppendEdges adds the arcs.
void append_min_records(MinPart& part, MinPart& later);

// Appends `later`'s arcs to `part`'s on a thread of its own (on the calling thread when none can
// be had), `later`'s other records being appended meanwhile; join() waits for the copy.
class AppendEdges {
public:
    AppendEdges(MinPart& part, MinPart& later);
    ~AppendEdges() { join(); }
    AppendEdges(const AppendEdges&) = delete;
    AppendEdges& operator=(const AppendEdges&) = delete;
    void join() noexcept;

private:
    std::vector<models::Edge>& to_;
    std::vector<models::Edge>& from_;
    std::vector<models::Edge> fresh_;
    std::thread thread_;
};

// The file offset after the first line feed past the point of the file `reader` has open where
// about half of its lines lie behind, where a second reader can start on whole lines; 0 when the
// file is better read by one reader (small, not a regular file, one core, or no line feed near
// that point).
uint64_t min_split_point(const LineReader& reader);

// Reads the lines from a split point to the end of the file on a thread of its own, started once
// the first reader has met the problem line (whose counts size its storage). finish() waits for
// it, consulting interrupted() meanwhile, and reads the stretch again on the calling thread when
// the thread failed or never started, so that messages name the same lines as one reader would.
class MinTail {
public:
    MinTail(const LineReader& whole, uint64_t begin) noexcept : whole_(whole), begin_(begin) {}
    ~MinTail() { cancel(); }
    MinTail(const MinTail&) = delete;
    MinTail& operator=(const MinTail&) = delete;

    // Starts the thread, sized by the problem line of `head` (the part before the split point),
    // and sets where the head's storage stops growing ahead of its lines. Later calls do nothing;
    // a thread that cannot be started leaves the work to finish().
    void start(MinPart& head);
    // The tail's outcome: its lines are numbered on from `lines_before`.
    Outcome<void> finish(uint64_t lines_before);
    MinPart& part() noexcept { return part_; }

private:
    void size_part(MinPart& part) const noexcept;
    void run() noexcept;
    void cancel() noexcept;

    const LineReader& whole_;
    uint64_t begin_;
    int64_t hint_nodes_ = 0;
    int64_t hint_arcs_ = 0;
    bool sized_ = false;
    MinPart part_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable done_signal_;
    bool done_ = false;              // guarded by mutex_
    bool failed_ = false;            // guarded by mutex_ until done_
    std::atomic<bool> stop_{false};  // the thread's read ends at its next poll
};

}  // namespace pelmora::io
