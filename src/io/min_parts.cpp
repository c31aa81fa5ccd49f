#include "io/min_parts.hpp"

#include <algorithm>
#include <chrono>
#include <new>
#include <string_view>
#include <system_error>

#include <unistd.h>

#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "utils/headroom.hpp"
#include "io/arc_lines.hpp"
#include "io/record_lines.hpp"

namespace pelmora::io {

namespace {

using models::Edge;
using models::NodeLine;

// The shortest arc line, "a 1 2 3 4 5", bounds how many arcs a file of a given size can hold.
constexpr uint64_t kMinArcLineBytes = 11;
// Below this a second thread costs about what it saves.
constexpr uint64_t kMinSplitBytes = uint64_t(1) << 20;
// How far past the split point a line feed is looked for.
constexpr std::size_t kSplitWindow = std::size_t(1) << 16;

uint64_t arc_hint(int64_t declared, uint64_t bytes) {
    return bounded_hint(declared, bytes, kMinArcLineBytes, sizeof(Edge) + 2 * sizeof(uint32_t));
}

// The arcs of a stretch of `bytes` of a file of `size` bytes that declares `declared` arcs, which
// are spread over the file about evenly: a little more than its share spares a copy for files
// whose arcs crowd one half somewhat.
uint64_t arc_share(uint64_t declared, uint64_t bytes, uint64_t size) {
    return uint64_t(double(declared) * double(bytes) / double(size) * 1.0625) + 64;
}

// Room for `arcs` arcs beyond what the reservation budget allows, in a file of `size` bytes that
// declares `declared` arcs: taken when the file is large enough to hold the declared arcs and the
// memory can spare the room twice over. Only the part the arcs fill is ever touched, and it spares
// the largest files the copies of growing, and of joining the two parts in a new array.
void reserve_declared(MinPart& part, uint64_t arcs, uint64_t declared, uint64_t size) noexcept {
    constexpr uint64_t kArcBytes = sizeof(Edge) + 2 * sizeof(uint32_t);
    if (arcs <= part.edges.capacity() || declared > size / kMinArcLineBytes || arcs > UINT64_MAX / (4 * kArcBytes))
        return;
    if (arcs * kArcBytes > utils::allocatable_bytes() / 2) return;
    try {
        reserve_filled(part.edges, arcs);
        part.node_index.reserve_arcs(arcs, part.declared_arcs);
    } catch (const std::bad_alloc&) {
        // The part's storage grows with its lines instead.
    }
}

// About where half of the lines of the file `fd` (of `size` bytes) lie behind: a reader's time
// goes with its lines more than with its bytes, and a file's node lines, which come first, are
// half as long as its arc lines. Estimated from the line feeds in windows spread evenly over the
// file; files of few lines, for which the difference is small, are split at their middle byte.
uint64_t lines_middle(int fd, uint64_t size) {
    constexpr int kSamples = 16;
    constexpr std::size_t kSampleBytes = 4096;
    constexpr double kMinLines = 1 << 16;
    double density[kSamples];
    double total = 0;
    char window[kSampleBytes];
    for (int i = 0; i < kSamples; ++i) {
        const ssize_t got = ::pread(fd, window, kSampleBytes, off_t(size / kSamples * uint64_t(i)));
        if (got <= 0) return size / 2;
        density[i] = double(std::count(window, window + got, '\n')) / double(got);
        total += density[i];
    }
    const double segment = double(size / kSamples);
    if (total * segment < kMinLines) return size / 2;
    double before = 0;
    int i = 0;
    while (i + 1 < kSamples && before + density[i] < total / 2) before += density[i++];
    const double at = (double(i) + (total / 2 - before) / density[i]) * segment;
    // A few windows can mislead: the split stays within the middle half of the file.
    return std::clamp(uint64_t(at), size / 4, size - size / 4);
}

}  // namespace

uint64_t direct_hint(int64_t nodes, uint64_t bytes) {
    return nodes < INT64_MAX ? bounded_hint(nodes + 1, bytes, kMinNodeBytes, sizeof(uint32_t)) : 0;
}

Outcome<void> read_min_part(LineReader& reader, MinPart& part, OnProblem on_problem, void* context) {
    static constexpr std::string_view kArcFields[5] = {"tail", "head", "lower bound", "capacity", "cost"};
    static constexpr std::string_view kNodeFields[2] = {"node identifier", "supply"};
    static constexpr std::string_view kProblemFields[4] = {"", "problem type", "node count", "arc count"};
    std::vector<Edge>& edges = part.edges;
    NodeIndex& node_index = part.node_index;

    auto arc = [&](const int64_t(&v)[5]) __attribute__((always_inline)) {
        node_index.add_arc(v[0], v[1]);
        grow_filled(edges, 1, part.declared_arcs);
        edges.push_back(Edge{v[0], v[1], v[2], v[3], v[4], 0});
    };
    // Plain arc lines straight from the buffer, while the next one is whole in what it holds.
    auto in_place = [&](LineReader& lines) {
        auto [p, end] = lines.unread();
        bool any = false;
        while (p != nullptr && p < end) {
            int64_t v[5];
            const char* next = arc_line(p, end, v);
            if (next == nullptr) break;
            arc(v);
            lines.consumed(next);
            p = next;
            any = true;
        }
        return any;
    };
    auto on_record = [&](char kind, Tokens& tokens) -> Outcome<void> {
        if (kind == 'a') {
            int64_t v[5];
            for (int k = 0; k < 5; ++k) {
                utils::ParseStatus status = tokens.next_i64(v[k]);
                if (status != utils::ParseStatus::ok) [[unlikely]]
                    return token_error(status, reader.line_number(), "arc", kArcFields[k], k + 1);
            }
            arc(v);
        } else if (kind == 'n') {
            int64_t v[2];
            for (int k = 0; k < 2; ++k) {
                utils::ParseStatus status = tokens.next_i64(v[k]);
                if (status != utils::ParseStatus::ok)
                    return token_error(status, reader.line_number(), "node", kNodeFields[k], k + 1);
            }
            part.supply_lines.push_back({v[0], v[1]});
            node_index.add_node(v[0]);
        } else if (kind == 'p') {
            int64_t v[4] = {0, 0, 0, 0};
            std::string_view type;  // not examined, only required
            if (!tokens.next(type))
                return token_error(utils::ParseStatus::missing, reader.line_number(), "problem", kProblemFields[1], 1);
            for (int k = 2; k < 4; ++k) {
                utils::ParseStatus status = tokens.next_i64(v[k]);
                if (status != utils::ParseStatus::ok)
                    return token_error(status, reader.line_number(), "problem", kProblemFields[k], k);
            }
            part.num_nodes = v[2];
            part.num_arcs = v[3];
            part.problem_seen = true;
            uint64_t arcs = arc_hint(part.num_arcs, reader.file_size());
            reserve_filled(edges, arcs);
            part.declared_arcs = part.num_arcs > 0 ? uint64_t(part.num_arcs) : 0;
            node_index.reserve_arcs(arcs, part.declared_arcs);
            node_index.enable_direct(direct_hint(part.num_nodes, reader.file_size()));
            if (on_problem) on_problem(context, part);
        }
        return {};
    };
    return read_open_records(reader, on_record, in_place);
}

void append_min_records(MinPart& part, MinPart& later) {
    part.node_index.absorb(later.node_index);
    part.supply_lines.insert(part.supply_lines.end(), later.supply_lines.begin(), later.supply_lines.end());
    if (later.problem_seen) {
        part.num_nodes = later.num_nodes;
        part.num_arcs = later.num_arcs;
        part.problem_seen = true;
    }
}

AppendEdges::AppendEdges(MinPart& part, MinPart& later) : to_(part.edges), from_(later.edges) {
    // The room is taken here, so that the copy allocates nothing and cannot fail. Where the first
    // part's vector lacks it, both parts go to a new one on the thread: growing the vector here
    // would copy the first part before the thread starts.
    const bool fresh = to_.capacity() - to_.size() < from_.size();
    if (fresh) reserve_filled(fresh_, to_.size() + from_.size());
    auto copy = [this, fresh]() noexcept {
        if (fresh) {
            fresh_.insert(fresh_.end(), to_.begin(), to_.end());
            fresh_.insert(fresh_.end(), from_.begin(), from_.end());
            to_ = std::move(fresh_);
        } else {
            to_.insert(to_.end(), from_.begin(), from_.end());
        }
    };
    try {
        thread_ = std::thread(copy);
    } catch (const std::system_error&) {
        copy();
    }
}

void AppendEdges::join() noexcept {
    if (thread_.joinable()) thread_.join();
    std::vector<Edge>().swap(from_);
}

uint64_t min_split_point(const LineReader& reader) {
    const uint64_t size = reader.file_size();
    if (size == LineReader::kUnknownSize || size < kMinSplitBytes || std::thread::hardware_concurrency() < 2) return 0;
    const uint64_t middle = lines_middle(reader.descriptor(), size);
    std::vector<char> window(kSplitWindow);
    ssize_t got = ::pread(reader.descriptor(), window.data(), window.size(), off_t(middle));
    if (got <= 0) return 0;
    auto feed = std::find(window.begin(), window.begin() + got, '\n');
    if (feed == window.begin() + got) return 0;
    uint64_t split = middle + uint64_t(feed - window.begin()) + 1;
    return split < size ? split : 0;
}

void MinTail::start(MinPart& head) {
    if (sized_) return;
    sized_ = true;
    hint_nodes_ = head.num_nodes;
    hint_arcs_ = head.num_arcs;
    // The head's array ends up holding every arc; while reading it holds its share of the declared
    // arcs, not all of them: its growth stops there.
    const uint64_t declared = head.declared_arcs;
    reserve_declared(head, declared, declared, whole_.file_size());
    if (declared != 0) head.declared_arcs = std::min(declared, arc_share(declared, begin_, whole_.file_size()));
    try {
        thread_ = std::thread(&MinTail::run, this);
    } catch (const std::system_error&) {
        // No thread to be had: finish() reads the stretch itself.
    }
}

void MinTail::size_part(MinPart& part) const noexcept {
    if (!sized_) return;
    try {
        // Beyond the reservation (which a declaration alone can only claim so far), growth stops
        // at the tail's share of the declared arcs.
        const uint64_t size = whole_.file_size();
        const uint64_t bytes = size - begin_;
        const uint64_t declared = hint_arcs_ > 0 ? uint64_t(hint_arcs_) : 0;
        const uint64_t share = arc_share(declared, bytes, size);
        const uint64_t arcs = std::min(arc_hint(hint_arcs_, bytes), share);
        part.declared_arcs = declared != 0 ? share : 0;
        reserve_filled(part.edges, arcs);
        part.node_index.reserve_arcs(arcs, part.declared_arcs);
        reserve_declared(part, std::min(share, bytes / kMinArcLineBytes + 1), declared, size);
        part.node_index.enable_direct(direct_hint(hint_nodes_, size));
    } catch (const std::bad_alloc&) {
        // Only a speed-up: the part's storage grows with its lines instead.
    }
}

void MinTail::run() noexcept {
    InterruptPoller poller;
    poller.check = [](void* stop) noexcept { return static_cast<std::atomic<bool>*>(stop)->load(); };
    poller.context = &stop_;
    bool failed = true;
    {
        InterruptScope scope(poller);
        try {
            size_part(part_);
            LineReader reader;
            reader.open_part(whole_, begin_, whole_.file_size(), 0);
            failed = !read_min_part(reader, part_).ok();
        } catch (...) {
            // Read again by finish(), which reports what went wrong.
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = failed;
    done_ = true;
    done_signal_.notify_one();
}

void MinTail::cancel() noexcept {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
}

Outcome<void> MinTail::finish(uint64_t lines_before) {
    if (thread_.joinable()) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            done_signal_.wait_for(lock, kInterruptInterval);
            lock.unlock();
            if (interrupted()) {
                cancel();
                return Error::interrupted();
            }
            lock.lock();
        }
        const bool failed = failed_;
        lock.unlock();
        thread_.join();
        if (!failed) return {};
    }
    part_ = MinPart{};
    size_part(part_);
    LineReader reader;
    reader.open_part(whole_, begin_, whole_.file_size(), lines_before);
    return read_min_part(reader, part_);
}

}  // namespace pelmora::io
