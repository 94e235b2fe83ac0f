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

// What a listing's status call said of a subdirectory, as far as walking it needs:
// kept for every subdirectory waiting to be walked, so no more than that.
struct ListedStatus {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t blocks = 0;
    std::int64_t mtime_seconds = 0;
    std::int32_t mtime_nanoseconds = 0;
    std::uint32_t mode = 0;
    std::uint32_t flags = 0;
    bool mount_root = false;

    ListedStatus() = default;
    explicit ListedStatus(const platform::EntryStatus& st)
        : device(st.device),
          inode(st.inode),
          blocks(st.blocks),
          mtime_seconds(st.mtime_seconds),
          mtime_nanoseconds(st.mtime_nanoseconds),
          mode(st.mode),
          flags(st.flags),
          mount_root(st.mount_root) {}

    platform::EntryStatus entry_status() const {
        platform::EntryStatus st;
        st.device = device;
        st.inode = inode;
        st.blocks = blocks;
        st.mtime_seconds = mtime_seconds;
        st.mtime_nanoseconds = mtime_nanoseconds;
        st.mode = mode;
        st.flags = flags;
        st.mount_root = mount_root;
        st.mount_root_known = true;
        return st;
    }
};

// A subdirectory as its parent's listing saw it: the status its opening must match and,
// while the parent is held open, the parent's descriptor to open it relative to (-1:
// open it by path). Its name is the last `name_length` bytes of its path; `text` is its
// path as text, taken by the walk.
struct ListedDirectory {
    platform::EntryStatus status;
    int parent_fd = -1;
    std::size_t name_length = 0;
    TreeString text;
};

// What a worker sends back for each job it finished.
struct JobResult {
    std::string path;
    TreeNode node;
};

}  // namespace bramvelt::scan
