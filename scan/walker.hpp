#pragma once
// Turns one directory into one node: examines it, lists it, accounts every entry in the
// session's counters, and decides for each subdirectory whether it is a leaf with a
// special state or is walked further. In the top-level mode subdirectories are queued
// as jobs; in the recursive mode the walker descends into them itself. The walker never
// fails: every problem becomes a node state and an unreadable count.

#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "scan/help_pool.hpp"
#include "scan/job.hpp"
#include "scan/listing.hpp"
#include "scan/session.hpp"
#include "scan/tree.hpp"

namespace bramvelt::scan {

// Subdirectories go into `jobs` (under `mutex` when there is one). With `links`, the
// multiply linked files are logged there instead of counted, and a node with a logged
// link is left unsorted, for finish_shared_job (listings made at once on several threads
// count their links in the order one thread would have).
struct TopLevelMode {
    std::deque<ScanJob>* jobs = nullptr;
    std::mutex* mutex = nullptr;
    LinkLog* links = nullptr;
};
// Every counted file is also added to `progress`. With a pool, subdirectories may be
// handed to idle workers; then `links` receives the multiply linked files instead of
// the hard-link rule, and the children of a directory with a logged link below it are
// left in the order they were made, until finish_shared_job counts the links in walk
// order and sorts those directories (the others are sorted as they end: no link can
// change their children's sizes). The node is the same either way.
struct RecursiveMode {
    std::shared_ptr<JobProgress> progress;
    HelpPool* pool = nullptr;
    LinkLog* links = nullptr;
};
using WalkMode = std::variant<TopLevelMode, RecursiveMode>;

TreeNode walk_directory(ScanSession& session, const std::string& path, const WalkMode& mode,
                        unsigned depth);

// One subdirectory of a recursive walk: an Incomplete placeholder once the scan is
// cancelled, else its walked node with the package rule applied. With `listed`, the
// status its parent's listing took stands for the status call on the path, and its text
// is taken from there.
TreeNode walk_subdirectory(ScanSession& session, const std::string& path, const WalkMode& mode,
                           unsigned depth, ListedDirectory* listed = nullptr);

// A subdirectory another walk handed over (walk_subdirectory with what the task holds).
TreeNode walk_handed_over(ScanSession& session, HelpPool::Task& task, const WalkMode& mode);

// The end of a job walked with a link log: the hard-link rule for every logged file in
// the order a lone walk meets them, their bytes added to their nodes and every node
// above, then the children of every node on a logged link's way sorted by size.
void finish_shared_job(ScanSession& session, TreeNode& node, const LinkLog& links,
                       JobProgress* progress);

// The bytes a file adds: its allocated size the first time a multiply linked file is
// met in this scan, 0 afterwards (those bytes go to hard_link_bytes_saved).
std::uint64_t count_hard_link(ScanSession& session, const FileFacts& facts, std::uint64_t inode);

// Turns a directory named like a bundle into a childless "package" node.
void apply_package_rule(bool collapse_packages, TreeNode& node);

// ".app", ".photoslibrary", ".xcarchive", ".framework", ".bundle", ".pkg", ".dmg" and
// ".sparsebundle", case-sensitive.
bool is_package_name(std::string_view name);

// Called at the end of every listed directory; sends a progress event every 50
// directories or 64 MiB.
void progress_tick(ScanSession& session, std::string_view path);

}  // namespace bramvelt::scan
