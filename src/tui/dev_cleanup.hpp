#pragma once
// The confirmed development cleanup on its own thread: the job it owns, the sink that
// serves the run's Trash requests and forwards every event, and the start from the
// review dialog. The worker's last message is always CleanupDone.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/cleanup/development_cleanup.hpp"
#include "core/host_trash/trash_registry.hpp"
#include "core/policy/context.hpp"
#include "platform/cancel_flag.hpp"
#include "src/cli/dev_options.hpp"
#include "src/tui/dev_view.hpp"
#include "src/tui/disk_scan.hpp"
#include "src/tui/ui_message.hpp"

namespace bramvelt::tui {

inline constexpr std::string_view kCleanupWorkerFailed = "The cleanup stopped unexpectedly";
inline constexpr std::string_view kCleanupWorkerFailedCode = "cleanupFailed";

struct DevCleanupJob {
    policy::PolicyContext context;
    UiSender sender;
    std::vector<std::string> roots;
    std::vector<cleanup::DevCleanupItem> items;
    CancelFlag cancel;
    std::uint64_t generation = 0;
    cli::CleanAction method = cli::CleanAction::Trash;
    bool acknowledged = false;
    bool verify_remotes = false;
};

class TuiCleanupSink {
  public:
    TuiCleanupSink(std::shared_ptr<host_trash::TrashRegistry> registry, UiSender sender,
                   std::uint64_t generation)
        : registry_(std::move(registry)), sender_(std::move(sender)), generation_(generation) {}
    // Serves a Trash request before forwarding it; a send nobody receives is dropped.
    void on_event(cleanup::CleanupEvent event) const;

  private:
    std::shared_ptr<host_trash::TrashRegistry> registry_;
    UiSender sender_;
    std::uint64_t generation_;
};

using DevCleanupRun = std::function<void(const cleanup::DevCleanupRequest&, const CancelFlag&,
                                         std::shared_ptr<host_trash::TrashRegistry>,
                                         const cleanup::CleanupEventSink&)>;

// The thread body. Whatever the run throws reaches the view as a Failed event; the last
// message is CleanupDone in every case.
void dev_cleanup_worker(DevCleanupJob job, const DevCleanupRun& run = cleanup::run_dev_cleanup);

// Starts the reviewed run and turns the Review dialog into the Progress dialog. When the
// service cannot be opened the dialog closes and the view shows the error; when no thread
// can be made the Progress dialog shows the error and has finished. Returns nothing.
std::optional<std::string> start_cleanup_run(DevView& view, const UiSender& sender,
                                             const ThreadStarter& start = WorkerThread::start,
                                             const DevCleanupRun& run = cleanup::run_dev_cleanup);

}  // namespace bramvelt::tui
