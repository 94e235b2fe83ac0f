#pragma once
// The disk scan's worker: runs the scan engine on its own thread and sends throttled
// progress, pruned live snapshots and the final result to the interface. It shares
// only the sender, the cancel flag and its generation with the interface thread.

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>

#include "platform/cancel_flag.hpp"
#include "scan/event.hpp"
#include "src/tui/disk_view.hpp"
#include "src/tui/ui_message.hpp"
#include "src/tui/worker_thread.hpp"

namespace bramvelt::tui {

inline constexpr std::chrono::milliseconds kProgressInterval{80};
inline constexpr unsigned kSnapshotDepth = 6;
inline constexpr std::size_t kSnapshotChildren = 400;

struct DiskScanJob {
    UiSender sender;
    std::string folder;
    CancelFlag cancel;
    std::uint64_t generation = 0;
};

// The scan callback's state. The engine calls it under its output lock, so calls never
// overlap and the last-forwarded time needs no lock of its own.
class TuiScanSink {
  public:
    TuiScanSink(UiSender sender, std::uint64_t generation);
    // Forwards the event as it arrives at `now`; the error ("ui closed") tells the
    // engine that nobody listens any more.
    std::expected<void, std::string> deliver(scan::ScanEvent event,
                                             std::chrono::steady_clock::time_point now);

  private:
    UiSender sender_;
    std::uint64_t generation_;
    std::chrono::steady_clock::time_point last_progress_;
};

// The scan thread's body. Catches everything: any failure reaches the interface as the
// scan's error text ("scan worker failed: out of memory" when memory ran out).
void disk_scan_worker(DiskScanJob job);

// What the worker runs for its job: the scan engine's scan of the folder, or a test's.
using InterfaceScan =
    std::function<std::expected<scan::ScanOutcome, std::string>(const DiskScanJob&)>;
void disk_scan_worker(DiskScanJob job, const InterfaceScan& scan);

using ThreadStarter =
    std::function<std::expected<WorkerThread, std::string>(std::function<void()>)>;

// Resets the view for a scan of `folder` and starts its worker on a detached thread.
// When no thread can be made the view is left not scanning and the status text to show
// is returned.
std::optional<std::string> start_disk_scan(DiskView& view, const std::string& folder,
                                           const UiSender& sender,
                                           const ThreadStarter& start = WorkerThread::start);

}  // namespace bramvelt::tui
