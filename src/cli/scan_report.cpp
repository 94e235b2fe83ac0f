#include "src/cli/scan_report.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>

#include "scan/tree_json.hpp"
#include "scan/tree_memory.hpp"
#include "src/cli/errors.hpp"
#include "src/cli/format.hpp"
#include "src/cli/ordered_output.hpp"

namespace bramvelt::cli {
namespace {

using scan::NodeState;
using scan::TreeNode;

std::string_view status_tag(const TreeNode& node) {
    switch (node.state) {
        case NodeState::Incomplete:
            return node.is_readable ? " [incomplete]" : " [unreadable]";
        case NodeState::MountPoint:
            return " [mount excluded]";
        case NodeState::CloudPlaceholder:
            return " [online only]";
        case NodeState::DirectoryAlias:
            return " [directory alias excluded]";
        case NodeState::PolicyExcluded:
            return " [policy excluded]";
        default:
            return node.is_readable ? "" : " [unreadable]";
    }
}

std::string size_text(std::int64_t size) {
    return format_size(size < 0 ? 0 : static_cast<std::uint64_t>(size));
}

using OmittedIndex = std::unordered_map<std::string_view, const OmittedDetail*>;

bool print_tree(platform::Writer& out, const TreeNode& node, std::size_t depth,
                const OmittedIndex& omitted) {
    const std::string indent(depth * 2, ' ');
    const std::string_view name =
        depth == 0 ? std::string_view(node.path) : scan::node_display_name(node.path);
    std::string line = fmt::format("{}{:>10}  {}{}\n", indent, size_text(node.size),
                                   escape_message(name), status_tag(node));
    if (!out.write(line)) return false;
    for (const TreeNode& child : node.children) {
        if (!print_tree(out, child, depth + 1, omitted)) return false;
    }
    if (auto it = omitted.find(node.path); it != omitted.end()) {
        const std::string more(std::string((depth + 1) * 2, ' '));
        if (!out.write(fmt::format("{}… {} entries hidden by --{}\n", more,
                                   it->second->omitted_children,
                                   omitted_reason_text(it->second->reason)))) {
            return false;
        }
    }
    return true;
}

// a < b as unsigned bytes, as std::string_view compares them; names are short and
// mostly differ in their first eight bytes, so words are compared inline.
bool bytes_less(std::string_view a, std::string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t i = 0;
    for (; i + 8 <= common; i += 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y) {
            if constexpr (std::endian::native == std::endian::little) {
                x = __builtin_bswap64(x);
                y = __builtin_bswap64(y);
            }
            return x < y;
        }
    }
    for (; i < common; ++i) {
        if (a[i] != b[i])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
}

// Sorts [first, last) with `before` through their positions, then moves each node once
// to its place: nodes are large, and sorting them directly moves each many times.
template <typename Before>
void sort_run_by_path(scan::NodeList::iterator first, scan::NodeList::iterator last,
                      const Before& before) {
    const auto count = static_cast<std::size_t>(last - first);
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    std::ranges::sort(order,
                      [&](std::size_t a, std::size_t b) { return before(first[a], first[b]); });
    // Place p takes the node at order[p]; a cycle of places at a time.
    for (std::size_t start = 0; start < count; ++start) {
        if (order[start] == start) continue;
        TreeNode held = std::move(first[start]);
        std::size_t place = start;
        for (;;) {
            const std::size_t from = order[place];
            order[place] = place;
            if (from == start) {
                first[place] = std::move(held);
                break;
            }
            first[place] = std::move(first[from]);
            place = from;
        }
    }
}

// Size, largest first, then path. The engine hands children over sorted by size
// already, so usually only runs of equal size need ordering. Siblings share their
// parent's path as a prefix, so comparing what follows it orders them the same way.
void order_children(const TreeNode& parent, scan::NodeList& children) {
    const auto by_size = [](const TreeNode& a, const TreeNode& b) { return a.size > b.size; };
    if (!std::ranges::is_sorted(children, by_size)) {
        scan::sort_children_by_size(children);
    }
    auto run = children.begin();
    while (run != children.end()) {
        const std::int64_t size = run->size;
        auto end =
            std::find_if(run, children.end(), [size](const TreeNode& n) { return n.size != size; });
        if (end - run > 1) {
            // Within the run: when every path begins with the parent's, comparing what
            // follows it orders them the same way, on far fewer bytes.
            const std::string_view prefix = parent.path;
            const bool all_below = std::all_of(
                run, end, [&](const TreeNode& n) { return n.path.starts_with(prefix); });
            const std::size_t shared = all_below ? prefix.size() : 0;
            const auto by_path = [shared](const TreeNode& a, const TreeNode& b) {
                return bytes_less(std::string_view(a.path).substr(shared),
                                  std::string_view(b.path).substr(shared));
            };
            if (!std::is_sorted(run, end, by_path)) sort_run_by_path(run, end, by_path);
        }
        run = end;
    }
}

std::string optional_number(std::optional<std::uint64_t> value) {
    return value ? std::to_string(*value) : std::string("null");
}

// Everything after the tree: stats, flags, limits and the omitted-detail records.
bool write_json_tail(platform::Writer& out, const scan::ScanOutcome& outcome,
                     const OutputLimits& limits, bool incomplete,
                     const std::vector<OmittedDetail>& omitted) {
    std::string tail = fmt::format(
        ",\"stats\":{{\"bytesScanned\":{},\"filesScanned\":{},\"directoriesScanned\":{},"
        "\"unreadableItems\":{},\"hardlinkBytesSaved\":{}}},\"elapsedSeconds\":{:.6f},"
        "\"cancelled\":{},\"incomplete\":{},\"outputLimits\":{{\"depth\":{},\"top\":{}}},"
        "\"omittedDetails\":[",
        outcome.bytes_scanned, outcome.files_scanned, outcome.directories_scanned,
        outcome.unreadable_items, outcome.hard_link_bytes_saved, outcome.elapsed_seconds,
        outcome.cancelled, incomplete, optional_number(limits.depth), optional_number(limits.top));
    bool first = true;
    for (const auto& record : omitted) {
        if (!first) tail += ',';
        first = false;
        tail += "{\"path\":";
        append_json_string(tail, record.path);
        tail += fmt::format(",\"omittedChildren\":{},\"reason\":\"{}\"}}", record.omitted_children,
                            omitted_reason_text(record.reason));
    }
    tail += "]}\n";
    return out.write(tail);
}

// Cuts one node's children to the limits (not its descendants'); the record, if any,
// goes to `omitted`, the cut subtrees to `trimmed`.
// How many of a node's ordered children the limits keep, and why the rest go.
struct Cut {
    std::size_t keep = 0;
    OmittedReason reason = OmittedReason::top;
};

Cut cut_of(const TreeNode& node, std::uint64_t depth, const OutputLimits& limits) {
    if (limits.depth && depth >= *limits.depth) return {0, OmittedReason::depth};
    if (limits.top && node.children.size() >= *limits.top) {
        return {static_cast<std::size_t>(*limits.top), OmittedReason::top};
    }
    return {node.children.size(), OmittedReason::top};
}

void trim_children(TreeNode& node, std::uint64_t depth, const OutputLimits& limits,
                   std::vector<OmittedDetail>& omitted, TrimmedNodes& trimmed) {
    order_children(node, node.children);
    const auto [keep, reason] = cut_of(node, depth, limits);
    if (keep < node.children.size()) {
        omitted.push_back({std::string(node.path), reason, node.children.size() - keep});
        // The few kept move to a list of their own; the whole former list, the cut
        // subtrees in it, is kept as it is, nothing in it touched or copied.
        scan::NodeList kept;
        kept.reserve(keep);
        const auto cut = node.children.begin() + static_cast<std::ptrdiff_t>(keep);
        kept.insert(kept.end(), std::make_move_iterator(node.children.begin()),
                    std::make_move_iterator(cut));
        trimmed.push_back(std::exchange(node.children, std::move(kept)));
    }
}

}  // namespace

std::string_view omitted_reason_text(OmittedReason reason) {
    return reason == OmittedReason::depth ? "depth" : "top";
}

void trim_for_output(TreeNode& node, std::uint64_t depth, const OutputLimits& limits,
                     std::vector<OmittedDetail>& omitted, TrimmedNodes& trimmed) {
    trim_children(node, depth, limits, omitted, trimmed);
    for (TreeNode& child : node.children) {
        trim_for_output(child, depth + 1, limits, omitted, trimmed);
    }
}

void trim_for_output(TreeNode& node, std::uint64_t depth, const OutputLimits& limits,
                     std::vector<OmittedDetail>& omitted) {
    TrimmedNodes trimmed;
    trim_for_output(node, depth, limits, omitted, trimmed);
}

namespace {

bool node_has_problem(const TreeNode& node) {
    return !node.is_readable || node.state == NodeState::Incomplete;
}

bool subtree_has_problems(const TreeNode& node) {
    if (node_has_problem(node)) return true;
    return std::ranges::any_of(node.children,
                               [](const TreeNode& c) { return subtree_has_problems(c); });
}

// Below this many files one thread looks faster than several start.
constexpr std::int64_t kParallelCheckFiles = 50'000;

}  // namespace

bool tree_has_problems(const TreeNode& node, unsigned threads) {
    if (threads <= 1 || node.file_count < kParallelCheckFiles) return subtree_has_problems(node);
    // The nodes above parts of at most 1/64 of the files are looked at here; the parts
    // by several threads.
    const std::int64_t part_files = node.file_count / 64;
    std::vector<const TreeNode*> parts;
    std::vector<const TreeNode*> above{&node};
    while (!above.empty()) {
        const TreeNode* at = above.back();
        above.pop_back();
        if (node_has_problem(*at)) return true;
        for (const TreeNode& child : at->children) {
            (child.file_count > part_files && !child.children.empty() ? above : parts)
                .push_back(&child);
        }
    }
    std::atomic<std::size_t> next{0};
    std::atomic<bool> found{false};
    const auto check = [&]() noexcept {
        for (std::size_t k = next++; k < parts.size() && !found.load(std::memory_order_relaxed);
             k = next++) {
            if (subtree_has_problems(*parts[k])) found = true;
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(check);
        } catch (...) {
            break;  // fewer threads only make it slower
        }
    }
    check();
    for (auto& helper : helpers) helper.join();
    return found;
}

namespace {

bool write_text_totals(platform::Writer& out, const scan::ScanOutcome& outcome, bool incomplete) {
    const std::string_view suffix =
        outcome.cancelled ? " · interrupted" : (incomplete ? " · incomplete" : "");
    return out.write(fmt::format("\n{} allocated · {} files · {} directories · {:.3f}s{}\n",
                                 size_text(outcome.bytes_scanned), outcome.files_scanned,
                                 outcome.directories_scanned, outcome.elapsed_seconds, suffix));
}

// print_tree of the tree trim_for_output would leave, without cutting anything.
bool print_within_limits(platform::Writer& out, TreeNode& node, std::size_t depth,
                         const OutputLimits& limits) {
    order_children(node, node.children);
    const Cut cut = cut_of(node, depth, limits);
    const std::string indent(depth * 2, ' ');
    const std::string_view name =
        depth == 0 ? std::string_view(node.path) : scan::node_display_name(node.path);
    if (!out.write(fmt::format("{}{:>10}  {}{}\n", indent, size_text(node.size),
                               escape_message(name), status_tag(node)))) {
        return false;
    }
    for (std::size_t i = 0; i < cut.keep && i < node.children.size(); ++i) {
        if (!print_within_limits(out, node.children[i], depth + 1, limits)) return false;
    }
    if (cut.keep < node.children.size()) {
        const std::string more((depth + 1) * 2, ' ');
        return out.write(fmt::format("{}… {} entries hidden by --{}\n", more,
                                     node.children.size() - cut.keep,
                                     omitted_reason_text(cut.reason)));
    }
    return true;
}

}  // namespace

bool write_text_report(platform::Writer& out, scan::ScanOutcome& outcome,
                       const OutputLimits& limits, bool incomplete) {
    return print_within_limits(out, outcome.tree, 0, limits) &&
           write_text_totals(out, outcome, incomplete);
}

bool write_scan_report(platform::Writer& out, const scan::ScanOutcome& outcome, ReportFormat format,
                       const OutputLimits& limits, bool incomplete,
                       const std::vector<OmittedDetail>& omitted) {
    if (format == ReportFormat::text) {
        OmittedIndex index;
        for (const auto& record : omitted) index.emplace(record.path, &record);
        if (!print_tree(out, outcome.tree, 0, index)) return false;
        return write_text_totals(out, outcome, incomplete);
    }
    if (!out.write("{\"schemaVersion\":1,\"tree\":") || !scan::write_tree_json(out, outcome.tree)) {
        return false;
    }
    return write_json_tail(out, outcome, limits, incomplete, omitted);
}

namespace {

// One segment of the document in order: fixed text of a large node, or a run of small
// sibling subtrees that one thread trims and writes on its own.
struct Segment {
    std::string text;
    std::vector<TreeNode*> subtrees;
    std::uint64_t depth = 0;
    std::vector<OmittedDetail> records;  // in pre-order, before any later segment's
    TrimmedNodes trimmed;
};

void plan_segments(TreeNode& node, std::uint64_t depth, const OutputLimits& limits,
                   std::int64_t segment_files, std::vector<Segment>& segments) {
    Segment open;
    trim_children(node, depth, limits, open.records, open.trimmed);
    platform::StringWriter fields;
    scan::write_node_fields_json(fields, node, node.kind, node.size, node.file_count, node.state);
    open.text = fields.text() + ",\"children\":[";
    segments.push_back(std::move(open));
    Segment run;
    std::int64_t run_files = 0;
    const auto flush_run = [&] {
        if (!run.subtrees.empty()) segments.push_back(std::move(run));
        run = Segment{};
        run.depth = depth + 1;
        run_files = 0;
    };
    flush_run();
    for (std::size_t i = 0; i < node.children.size(); ++i) {
        TreeNode& child = node.children[i];
        if (child.file_count > segment_files && !child.children.empty()) {
            flush_run();
            if (i > 0) segments.push_back({",", {}, 0, {}, {}});
            plan_segments(child, depth + 1, limits, segment_files, segments);
            continue;
        }
        // A run ends before it would pass the size of a segment, so no run is much larger
        // than the others: every output buffer is made as large as the largest run.
        if (!run.subtrees.empty() && run_files + child.file_count + 1 > segment_files) {
            flush_run();
        }
        // A run after a large sibling starts with the comma that separates them.
        if (run.subtrees.empty() && i > 0) run.text = ",";
        run.subtrees.push_back(&child);
        run_files += child.file_count + 1;
    }
    flush_run();
    segments.push_back({"]}", {}, 0, {}, {}});
}

// A node's object with a typical path, and a little more.
constexpr std::size_t kJsonBytesPerNode = 300;

// The room a segment's text is expected to take.
std::size_t room_for(const Segment& segment) {
    std::size_t nodes = 0;
    for (const TreeNode* subtree : segment.subtrees) {
        nodes += static_cast<std::size_t>(subtree->file_count) + 1;
    }
    return segment.text.size() + nodes * kJsonBytesPerNode;
}

// Orders, on up to `threads` threads, the children of every node plan_segments opens
// (each node's own, apart from any other's), so the plan, on one thread, finds them in
// order: wide directories' files would otherwise be sorted there one directory after the
// other. Ordering a node moves its children, so a child is taken up only once its parent
// is in order. Without limits only: with them, which nodes are opened depends on the
// cuts.
void order_opened_nodes(TreeNode& root, std::int64_t segment_files, unsigned threads) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<TreeNode*> waiting{&root};
    std::size_t busy = 0;  // nodes taken and not yet done
    const auto order = [&]() noexcept {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !waiting.empty() || busy == 0; });
            if (waiting.empty()) return;
            TreeNode* node = waiting.back();
            waiting.pop_back();
            ++busy;
            lock.unlock();
            std::vector<TreeNode*> opened;
            try {
                order_children(*node, node->children);
                for (TreeNode& child : node->children) {
                    if (child.file_count > segment_files && !child.children.empty()) {
                        opened.push_back(&child);
                    }
                }
            } catch (...) {
                // Left for the plan, which orders whatever is not in order yet.
                opened.clear();
            }
            lock.lock();
            waiting.insert(waiting.end(), opened.begin(), opened.end());
            --busy;
            changed.notify_all();
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(order);
        } catch (...) {
            break;  // fewer threads only make it slower
        }
    }
    order();
    for (auto& helper : helpers) helper.join();
}

// The document's segments in order: the whole tree in one when it is small.
std::vector<Segment> plan_report(TreeNode& tree, const OutputLimits& limits, unsigned threads) {
    // About 1,024 segments for the whole tree, each written in one piece.
    const std::int64_t segment_files = std::max<std::int64_t>(500, tree.file_count / 1024);
    std::vector<Segment> segments;
    if (tree.file_count <= segment_files || tree.children.empty()) {
        segments.push_back({{}, {&tree}, 0, {}, {}});
    } else {
        if (!limits.depth && !limits.top) order_opened_nodes(tree, segment_files, threads);
        plan_segments(tree, 0, limits, segment_files, segments);
    }
    return segments;
}

// Each thread takes the next segment, trims its subtrees and writes them into a buffer
// handed to `out` in order. Up to three buffers per thread are made before a thread
// waits for one, so memory stays bounded. False when a write failed; memory that ran out
// on any thread is thrown again on this one once every thread has ended.
bool render_segments(platform::Writer& out, std::vector<Segment>& segments,
                     const OutputLimits& limits, unsigned threads) {
    OrderedOutput output(out, segments.size(), 3 * std::max(threads, 1u));
    // Every buffer is made as large as the largest run needs, so none grows when it is
    // used again: in tree memory, the room a grown buffer leaves behind stays taken until
    // its whole chunk is free.
    std::size_t room = 0;
    for (const Segment& segment : segments) room = std::max(room, room_for(segment));
    room = std::min(room, scan::kLargestTreePiece);
    std::atomic<std::size_t> claimed{0};
    // Exceptions (out of memory) must not leave a helper thread: the first one comes back
    // to the caller once the threads are joined.
    std::exception_ptr error;
    std::mutex error_mutex;
    const auto render = [&]() noexcept {
        // Buffers in tree memory (huge pages): the document is as large as the tree, and
        // the pool's first use of each page would cost a fault.
        const scan::TreeMemoryScope buffers_in_chunks;
        try {
            for (std::size_t k = claimed++; k < segments.size(); k = claimed++) {
                Segment& segment = segments[k];
                // Fixed text (a large node's fields, a comma, closing brackets) takes no
                // buffer from the pool.
                if (segment.subtrees.empty()) {
                    output.hand_in_text(k, scan::TreeString(segment.text));
                    continue;
                }
                auto buffer = output.take_buffer(k);
                if (!buffer) return;
                // Made large enough at once: growing by doubling would leave every
                // smaller block behind it.
                buffer->reserve(std::max(room, room_for(segment)));
                buffer->assign(segment.text);
                for (std::size_t i = 0; i < segment.subtrees.size(); ++i) {
                    if (i > 0) *buffer += ',';
                    trim_for_output(*segment.subtrees[i], segment.depth, limits, segment.records,
                                    segment.trimmed);
                    scan::append_tree_json(*buffer, *segment.subtrees[i]);
                }
                output.hand_in(k, std::move(*buffer));
            }
        } catch (...) {
            output.fail();
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    const std::size_t wanted = std::min<std::size_t>(threads, segments.size());
    for (std::size_t t = 1; t < wanted; ++t) {
        try {
            helpers.emplace_back(render);
        } catch (...) {
            break;  // fewer threads only make it slower
        }
    }
    render();
    for (auto& helper : helpers) helper.join();
    if (error) std::rethrow_exception(error);
    return output.finished();
}

}  // namespace

bool trim_and_write_json_report(platform::Writer& out, scan::ScanOutcome& outcome,
                                const OutputLimits& limits, bool incomplete, unsigned threads,
                                TrimmedNodes& trimmed) {
    std::vector<Segment> segments = plan_report(outcome.tree, limits, threads);
    if (!out.write("{\"schemaVersion\":1,\"tree\":")) return false;
    if (!render_segments(out, segments, limits, threads)) return false;
    std::vector<OmittedDetail> omitted;
    for (auto& segment : segments) {
        for (auto& record : segment.records) omitted.push_back(std::move(record));
        trimmed.insert(trimmed.end(), std::make_move_iterator(segment.trimmed.begin()),
                       std::make_move_iterator(segment.trimmed.end()));
    }
    return write_json_tail(out, outcome, limits, incomplete, omitted);
}

}  // namespace bramvelt::cli
