#pragma once
// Between the root listing and the worker pool, the driver's thread lists the most
// promising shallow directories itself (at most 128, within 1.5 s, depth 3 at most), so
// the workers later get smaller jobs there. The frontier records what it listed and
// what it left queued; the builders below turn it and the finished results into the
// final tree, an owned snapshot copy, or a borrowing view for a streamed snapshot.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "scan/job.hpp"
#include "scan/options.hpp"
#include "scan/session.hpp"
#include "scan/tree.hpp"

namespace bramvelt::scan {

inline constexpr std::size_t kFrontierMaxDirectories = 128;
inline constexpr std::chrono::milliseconds kFrontierTimeBudget{1500};
inline constexpr unsigned kFrontierMaxDepth = 3;

struct ExpandedDirectory {
    TreeNode node;                         // the top-level listing of the directory
    std::vector<std::string> child_paths;  // the jobs it queued, in order
};

// Keys are raw paths as the walker built them, so plain equality compares them.
struct ScanFrontier {
    std::vector<std::string> top_paths;
    std::unordered_map<std::string, ExpandedDirectory> expanded;
    std::unordered_map<std::string, std::shared_ptr<JobProgress>> pending;
};

// Finished results by path: owned nodes for the final tree, borrowed for snapshots.
using FinishedNodes = std::unordered_map<std::string, TreeNode>;
using FinishedRefs = std::unordered_map<std::string, const TreeNode*>;

// Frontier class of a top-level job's last path component: home folders `first`, the
// folders where large trees usually sit `early`, any other `normal`.
WalkPriority frontier_class(std::string_view path);

// Lists on up to `threads` threads at once (the driver's among them) where jobs may be
// shared; the frontier and the counts are those of one thread listing alone.
ScanFrontier frontier_pass(ScanSession& session, JobQueue& queue, unsigned threads = 1);

// What a tree is assembled for: the final tree, or a live snapshot while jobs still run.
enum class TreePurpose { final_tree, snapshot };

// Adds the children's totals, rolls Incomplete up, turns a Normal node with a Scanning
// child into Incomplete (final tree) or Scanning (snapshot), and sorts by size, stably.
void merge_children(TreeNode& node, NodeList children, TreePurpose purpose);

// The placeholder of a queued or running job: its counts so far, state Scanning.
TreeNode pending_directory_node(std::string_view path, const JobProgress& progress);

// Takes entries out of `finished` and the frontier's maps.
TreeNode take_final_tree(ScanFrontier& frontier, const ScanSession& session,
                         const std::string& path, FinishedNodes& finished);

// Adds a top-level subtree to the root: its totals, and Incomplete for the root when the
// subtree is incomplete or unreadable.
void adopt_top_child(TreeNode& root, TreeNode child);

TreeNode copy_snapshot_tree(const ScanFrontier& frontier, const ScanSession& session,
                            const std::string& path, const FinishedRefs& finished);

// A snapshot view that borrows finished subtrees and listed directories.
struct LiveNode {
    enum class Kind { Finished, Placeholder, Expanded };
    Kind kind = Kind::Placeholder;
    const TreeNode* node = nullptr;  // Finished and Expanded
    TreeNode placeholder;            // Placeholder
    std::vector<LiveNode> children;  // Expanded
    std::int64_t total_size = 0;
    std::int64_t total_files = 0;
    NodeState state = NodeState::Normal;
    bool is_package = false;

    const TreeNode& shown() const { return kind == Kind::Placeholder ? placeholder : *node; }
    std::int64_t size() const { return kind == Kind::Expanded ? total_size : shown().size; }
    std::int64_t file_count() const {
        return kind == Kind::Expanded ? total_files : shown().file_count;
    }
    NodeState rolled_state() const { return kind == Kind::Expanded ? state : shown().state; }
    bool readable() const { return shown().is_readable; }
    // Adds the children's totals to this node's own and takes over a child's Scanning
    // or Incomplete state (an unreadable child makes the node Incomplete).
    void roll_up_children();
};

LiveNode build_live_node(const ScanFrontier& frontier, const ScanSession& session,
                         const std::string& path, const FinishedRefs& finished);

}  // namespace bramvelt::scan
