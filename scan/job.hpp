#pragma once
// The work items of a scan: a directory waiting to be walked as a whole subtree, its
// live counters, and the locked queue the driver, the frontier pass and the workers
// share.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/file_status.hpp"
#include "scan/tree.hpp"

namespace bramvelt::scan {

// Bytes and files counted so far in a job's subtree; written by the worker walking it,
// read by live snapshots.
struct JobProgress {
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> files{0};
};

struct ScanJob {
    std::string path;  // raw bytes
    std::shared_ptr<JobProgress> progress;
    unsigned depth = 1;       // the root's subdirectories have depth 1
    std::uint64_t group = 0;  // frontier group; 0 for a job queued by a top-level listing
};

struct JobQueue {
    std::mutex mutex;
    std::deque<ScanJob> jobs;
};

// A subdirectory as its parent's listing saw it: the status its opening must match and,
// while the parent is held open, the parent's descriptor to open it relative to (-1:
// open it by path). Its name is the last `name_length` bytes of its path; `text` is its
// path as text, taken by the walk.
struct ListedDirectory {
    platform::EntryStatus status;
    int parent_fd = -1;
    std::size_t name_length = 0;
    std::string text;
};

// What a worker sends back for each job it finished.
struct JobResult {
    std::string path;
    TreeNode node;
};

}  // namespace bramvelt::scan
