#include "src/tui/disk_scan.hpp"

#include <exception>
#include <memory>

#include "platform/processor_count.hpp"
#include "platform/writer.hpp"
#include "scan/scan.hpp"
#include "scan/session.hpp"
#include "src/tui/failure_text.hpp"

namespace bramvelt::tui {
namespace {

constexpr unsigned kMaxJobs = 16;
constexpr unsigned kFallbackJobs = 4;
constexpr scan::SnapshotInterval kSnapshotInterval{0, 700'000'000};

scan::ScanOptions interface_scan_options() {
    scan::ScanOptions options;
    options.retention = scan::KeepAll{};
    options.snapshot_interval = kSnapshotInterval;
    const auto processors = platform::online_processors();
    options.jobs = processors
                       ? static_cast<unsigned>(std::min<unsigned long>(*processors, kMaxJobs))
                       : kFallbackJobs;
    if (options.jobs == 0) options.jobs = 1;
    options.max_depth = scan::kMaxScanDepth;
    options.collapse_packages = true;
    options.skip_links = true;
    options.profile = scan::ScanProfile::General;
    options.one_filesystem = true;
    options.portable_listing = false;
    return options;
}

std::uint64_t unsigned_bytes(std::int64_t bytes) {
    return bytes > 0 ? static_cast<std::uint64_t>(bytes) : 0;
}

std::expected<scan::ScanOutcome, std::string> run_interface_scan(const DiskScanJob& job) {
    auto session = std::make_shared<scan::ScanSession>(
        interface_scan_options(), std::make_unique<platform::NullWriter>(), job.cancel);
    auto sink = std::make_shared<TuiScanSink>(job.sender, job.generation);
    scan::set_event_callback(*session, [sink](scan::ScanEvent event) {
        return sink->deliver(std::move(event), std::chrono::steady_clock::now());
    });
    return scan::run_scan(session, job.folder);
}

// The scan's outcome, or its failure with what stopped it. By the time it is caught the
// scan's own memory has been given back, so the failure's text can still be made.
std::expected<scan::ScanOutcome, std::string> guarded_scan(const DiskScanJob& job,
                                                           const InterfaceScan& scan) {
    try {
        return scan(job);
    } catch (...) {
        return std::unexpected(failure_text(scan::kScanWorkerFailed, std::current_exception()));
    }
}

}  // namespace

TuiScanSink::TuiScanSink(UiSender sender, std::uint64_t generation)
    : sender_(std::move(sender)),
      generation_(generation),
      last_progress_(std::chrono::steady_clock::now() - std::chrono::seconds(1)) {}

std::expected<void, std::string> TuiScanSink::deliver(scan::ScanEvent event,
                                                      std::chrono::steady_clock::time_point now) {
    DiskUpdate update;
    if (auto* progress = std::get_if<scan::ProgressEvent>(&event)) {
        if (now < last_progress_ || now - last_progress_ < kProgressInterval) {
            return {};
        }
        last_progress_ = now;
        update = DiskProgress{std::move(progress->current_path),
                              unsigned_bytes(progress->bytes_scanned), progress->files_scanned,
                              progress->directories_scanned, progress->unreadable_items};
    } else if (auto* snapshot = std::get_if<scan::SnapshotEvent>(&event)) {
        if (snapshot->tree == nullptr) return {};
        update = DiskSnapshot{prune_tree(*snapshot->tree, kSnapshotDepth, kSnapshotChildren)};
    } else {
        return {};
    }
    if (!sender_.send(UiMessage{MessageKind::Disk, generation_, std::move(update)})) {
        return std::unexpected(std::string("ui closed"));
    }
    return {};
}

void disk_scan_worker(DiskScanJob job) {
    disk_scan_worker(std::move(job), run_interface_scan);
}

void disk_scan_worker(DiskScanJob job, const InterfaceScan& scan) {
    try {
        auto result = guarded_scan(job, scan);
        // Nobody listening any more is no failure: the result is simply dropped.
        (void)job.sender.send(UiMessage{MessageKind::Disk, job.generation,
                                        DiskUpdate{DiskFinished{std::move(result)}}});
    } catch (...) {  // NOLINT(bugprone-empty-catch): no memory even for the failure's message;
                     // the interface shows the scan as running
    }
}

std::optional<std::string> start_disk_scan(DiskView& view, const std::string& folder,
                                           const UiSender& sender, const ThreadStarter& start) {
    ScanTicket ticket = begin_disk_scan(view, folder);
    DiskScanJob job{sender, folder, ticket.cancel, ticket.generation};
    auto thread = start([job = std::move(job)]() mutable { disk_scan_worker(std::move(job)); });
    if (!thread) {
        view.scanning = false;
        view.error = "Could not start the scan: " + thread.error();
        return view.error;
    }
    thread->detach();
    return std::nullopt;
}

}  // namespace bramvelt::tui
