#pragma once
// The state one scan shares between the caller's thread and the worker threads: the
// options, the exclusion lists, the counters, the sets that make hard links and
// directory aliases count once, and the event output. A session serves one scan; it is
// held jointly (shared_ptr) by the caller, the driver and every worker.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/cancel_flag.hpp"
#include "platform/writer.hpp"
#include "scan/catalog.hpp"
#include "scan/event.hpp"
#include "scan/options.hpp"
#include "scan/tree_memory.hpp"

namespace bramvelt::scan {

// What the listings did; shared by every listing of one scan.
struct ListingCounters {
    std::atomic<std::uint64_t> bulk_batches{0};          // bulk directory reads
    std::atomic<std::uint64_t> bulk_trusted_entries{0};  // entries taken from the read alone
    std::atomic<std::uint64_t> bulk_lstat_entries{0};    // bulk entries looked up again
    std::atomic<std::uint64_t> standard_fallbacks{0};    // directories read the plain way
    std::atomic<std::uint64_t> entry_lstat_calls{0};     // per-entry status calls
};

// A 1 MiB buffer in front of the session's output writer. A write that does not fit
// first sends the buffered bytes on; one larger than the whole buffer goes straight
// through. flush() sends everything on and flushes the writer.
class EventBuffer final : public platform::Writer {
  public:
    static constexpr std::size_t kCapacity = 1'048'576;
    explicit EventBuffer(std::unique_ptr<platform::Writer> writer);
    bool write(std::string_view bytes) override;
    bool flush() override;

  private:
    std::unique_ptr<platform::Writer> writer_;
    std::string buffer_;
};

// (device, inode) of a file or directory met in this scan.
struct FileKey {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileKey&) const = default;
};
struct FileKeyHash {
    std::size_t operator()(const FileKey& key) const noexcept {
        return std::hash<std::uint64_t>{}(key.inode * 0x9E3779B97F4A7C15ULL ^ key.device);
    }
};

// A set of keys; inserting tells whether the key was new. Split by key into shards, each
// behind its own lock, so threads inserting at once seldom wait for each other.
class FileKeySet {
  public:
    bool insert(FileKey key) {
        const std::size_t hash = FileKeyHash{}(key);
        Shard& shard = shards_[(hash >> 20) % kShards];
        std::lock_guard<std::mutex> lock(shard.mutex);
        return shard.set.insert(key).second;
    }

  private:
    static constexpr std::size_t kShards = 64;
    // A cache line each, so locking one shard does not slow its neighbours. The keys
    // live in tree memory: a scan's walkers add one for every directory.
    struct alignas(64) Shard {
        std::mutex mutex;
        std::unordered_set<FileKey, FileKeyHash, std::equal_to<FileKey>, TreeAllocator<FileKey>>
            set;
    };
    std::array<Shard, kShards> shards_;
};

class ScanSession {
  public:
    // Reads the pseudo-file-system mounts from /proc/mounts. Never fails.
    ScanSession(const ScanOptions& options, std::unique_ptr<platform::Writer> output,
                CancelFlag cancel);
    // The same with a mount table given as text (absent: no table could be read).
    ScanSession(const ScanOptions& options, std::unique_ptr<platform::Writer> output,
                CancelFlag cancel, const std::optional<std::string>& mount_table);
    ScanSession(const ScanSession&) = delete;
    ScanSession& operator=(const ScanSession&) = delete;

    const ScanOptions options;
    std::vector<std::string> excluded_mounts;
    std::vector<std::string> excluded_prefixes;  // each mount without trailing "/", then "/"
    const ScanProfile profile;
    const bool collapse_packages;
    const bool skip_links;
    ListingCounters listing_counters;
    const CancelFlag cancel;

    std::atomic<std::int64_t> bytes_scanned{0};
    std::atomic<std::uint64_t> files_scanned{0};
    std::atomic<std::uint64_t> directories_scanned{0};
    std::atomic<std::uint64_t> unreadable_items{0};
    std::atomic<std::uint64_t> hard_link_bytes_saved{0};
    FileKeySet hard_links;           // multiply linked files already counted
    FileKeySet visited_directories;  // directories already entered

    // Directories a walk may still hold open while it walks their subdirectories, which
    // then open relative to them; sized from the open-file limit.
    std::atomic<long> open_directories_left{0};

    std::atomic<std::uint64_t> root_device{0};
    std::atomic<bool> root_device_set{false};

    // Absent unless a caller attaches one before the scan; never set by the engine.
    std::shared_ptr<ScanCatalog> catalog;

    // The output record; every field is guarded by output_mutex. The two progress fields
    // are atomic so a walker can see without the lock that no event is due yet; they
    // are only changed under it.
    struct Output {
        explicit Output(std::unique_ptr<platform::Writer> writer)
            : event_buffer(std::move(writer)) {}
        EventBuffer event_buffer;
        std::chrono::steady_clock::time_point last_progress;
        std::atomic<std::uint64_t> ticks_since_progress{0};
        std::atomic<std::int64_t> bytes_at_last_progress{0};
        ScanEventCallback callback;  // empty: events go to the writer as JSON lines
    };
    std::mutex output_mutex;
    Output output;
    // Set once delivering an event failed; never cleared. Written under output_mutex.
    std::atomic<bool> output_closed{false};

    bool cancelled() const { return cancel->load(std::memory_order_relaxed); }
    // Marks the output failed and stops the scan.
    void close_output() {
        output_closed.store(true);
        cancel->store(true);
    }
};

// The pseudo-file-system mount points of a /proc/mounts text, in file order.
std::vector<std::string> pseudo_mounts_from_table(std::string_view table);

// Installs the callback under the output lock, replacing any earlier one.
void set_event_callback(ScanSession& session, ScanEventCallback callback);

// Whether the installed callback is ignore_scan_event: a snapshot, which costs a copy
// of the tree, then need not be built at all.
bool snapshots_ignored(ScanSession& session);

// Delivers one event to the callback, or as one JSON line to the writer. Failures close
// the output and cancel the scan; the caller learns of them only through those.
void emit_event(ScanSession& session, ScanEvent event);

// Whether the path is a pseudo-file-system mount point or lies below one.
bool is_excluded_path(const ScanSession& session, std::string_view path);

// HOME when it is set and valid UTF-8 (an empty value counts).
std::optional<std::string> scan_home_dir();

}  // namespace bramvelt::scan
