#pragma once
// The development search's worker: runs the search on its own detached thread and
// sends its finds, progress and end to the interface. It shares only the sender and
// the cancel flag with the interface thread.

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <vector>

#include "core/development/types.hpp"
#include "platform/cancel_flag.hpp"
#include "src/tui/dev_view.hpp"
#include "src/tui/disk_scan.hpp"
#include "src/tui/ui_message.hpp"

namespace bramvelt::tui {

inline constexpr std::string_view kDevSearchFailed = "The development search failed";

struct DevSearchJob {
    UiSender sender;
    std::vector<std::string> roots;
    CancelFlag cancel;
    std::uint64_t generation = 0;
    bool verify_remotes = false;
};

// Forwards each search event; when nobody listens any more it stops the search.
class TuiDevSink final : public development::DevScanSink {
  public:
    TuiDevSink(UiSender sender, std::uint64_t generation, CancelFlag cancel)
        : sender_(std::move(sender)), generation_(generation), cancel_(std::move(cancel)) {}
    void on_event(development::DevScanEvent event) override;

  private:
    UiSender sender_;
    std::uint64_t generation_;
    CancelFlag cancel_;
};

// The search thread's body. Catches everything: any failure reaches the view as its
// error text (kDevSearchFailed, then "out of memory" when memory ran out).
void dev_search_worker(DevSearchJob job);

// What the worker runs for its job: the development search, or a test's.
using DevSearchRun = std::function<std::expected<void, std::string>(
    development::DevScanRequest, CancelFlag, development::DevScanSink&)>;
void dev_search_worker(DevSearchJob job, const DevSearchRun& search);

// Cancels the running search and starts a new one on the view's roots. When no thread
// can be made the view shows the error and is left not scanning. Roots that are not
// UTF-8 start nothing: the view lists nothing and names them as its roots, after the
// header's kFoldersNotUtf8.
void start_dev_search(DevView& view, const UiSender& sender,
                      const ThreadStarter& start = WorkerThread::start);

// Resolves the folders and searches them; a folder that cannot be resolved leaves the
// old list and search and shows its error.
void apply_folders_input(DevView& view, const std::vector<std::string>& folders,
                         const UiSender& sender, const ThreadStarter& start = WorkerThread::start);

// What a folder that cannot be resolved does to the view: its error shows, the old list,
// roots and search stay.
void show_folder_failure(DevView& view, std::string error);

}  // namespace bramvelt::tui
