// What the interface's workers tell when memory, or what a new thread needs, runs out:
// the failure value each already sends, with its own text and then the shared reason.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "platform/resource_exhaustion.hpp"
#include "scan/scan.hpp"
#include "src/tui/dev_cleanup.hpp"
#include "src/tui/dev_search.hpp"
#include "src/tui/disk_scan.hpp"
#include "tests/support/as_user.hpp"

namespace bramvelt::tui {
namespace {

struct Raised {
    std::function<void()> raise;
    std::string reason;
};

const std::vector<Raised>& raised_failures() {
    static const std::vector<Raised> failures = {
        {[] { throw std::bad_alloc(); }, std::string(platform::kOutOfMemory)},
        {[] {
             throw std::system_error(
                 std::make_error_code(std::errc::resource_unavailable_try_again));
         },
         std::string(platform::kOutOfThreadResources)},
        {[] { throw std::runtime_error("boom"); }, "boom"},
    };
    return failures;
}

std::string with_reason(std::string_view what, const std::string& reason) {
    return std::string(what) + ": " + reason;
}

// Every message waiting on the channel, applied to nothing.
std::vector<UiMessage> drain(UiReceiver& receiver) {
    std::vector<UiMessage> messages;
    while (auto message = receiver.try_receive()) messages.push_back(std::move(*message));
    return messages;
}

TEST(WorkerFailure, TheDiskScanEndsWithItsFailureAndTheReason) {
    for (const Raised& failure : raised_failures()) {
        SCOPED_TRACE(failure.reason);
        auto [sender, receiver] = make_channel<UiMessage>();
        DiskView view;
        const ScanTicket ticket = begin_disk_scan(view, "/r");
        disk_scan_worker(
            DiskScanJob{sender, "/r", ticket.cancel, ticket.generation},
            [&failure](const DiskScanJob&) -> std::expected<scan::ScanOutcome, std::string> {
                failure.raise();
                return scan::ScanOutcome{};
            });
        auto messages = drain(receiver);
        ASSERT_EQ(messages.size(), 1u);
        apply_disk_message(view, messages[0].generation,
                           std::get<DiskUpdate>(std::move(messages[0].update)));
        EXPECT_FALSE(view.scanning);
        EXPECT_EQ(view.error, with_reason(scan::kScanWorkerFailed, failure.reason));
    }
}

TEST(WorkerFailure, TheSearchKeepsWhatItFoundAndShowsItsFailureAndTheReason) {
    for (const Raised& failure : raised_failures()) {
        SCOPED_TRACE(failure.reason);
        auto [sender, receiver] = make_channel<UiMessage>();
        DevView view;
        view.roots = {"/r"};
        view.search_generation = 1;
        view.scanning = true;
        // The search runs out after its first find.
        dev_search_worker(
            DevSearchJob{sender, view.roots, make_cancel_flag(), 1},
            [&failure](development::DevScanRequest, CancelFlag,
                       development::DevScanSink& sink) -> std::expected<void, std::string> {
                development::DevCandidate found;
                found.path = "/r/p/target";
                sink.on_event({development::DevScanEvent::Candidate{found}});
                failure.raise();
                return {};
            });
        for (auto& message : drain(receiver)) {
            (void)apply_dev_message(view, message.generation,
                                    std::get<DevUpdate>(std::move(message.update)));
        }
        EXPECT_FALSE(view.scanning);
        EXPECT_EQ(view.error, with_reason(kDevSearchFailed, failure.reason));
        ASSERT_EQ(view.candidates.size(), 1u);
        EXPECT_EQ(view.candidates[0].path, "/r/p/target");
    }
}

TEST(WorkerFailure, TheCleanupReportsItsFinishedItemThenItsFailureThenDone) {
    for (const Raised& failure : raised_failures()) {
        SCOPED_TRACE(failure.reason);
        auto [sender, receiver] = make_channel<UiMessage>();
        dev_cleanup_worker(DevCleanupJob{{}, sender, {}, {}, make_cancel_flag(), 3},
                           [&failure](const cleanup::DevCleanupRequest&, const CancelFlag&,
                                      std::shared_ptr<host_trash::TrashRegistry>,
                                      const cleanup::CleanupEventSink& sink) {
                               cleanup::CleanupItemResult done;
                               done.path = "/r/p/target";
                               done.status = cleanup::CleanupStatus::Removed;
                               sink(cleanup::ItemFinished{done});
                               failure.raise();
                           });
        std::vector<DevUpdate> updates;
        for (auto& message : drain(receiver)) {
            EXPECT_EQ(message.generation, 3u);
            updates.push_back(std::get<DevUpdate>(std::move(message.update)));
        }
        ASSERT_EQ(updates.size(), 3u);
        EXPECT_TRUE(std::holds_alternative<cleanup::ItemFinished>(
            std::get<DevCleanupUpdate>(updates[0]).event));
        const auto& failed =
            std::get<cleanup::Failed>(std::get<DevCleanupUpdate>(updates[1]).event);
        EXPECT_EQ(failed.code, kCleanupWorkerFailedCode);
        EXPECT_EQ(failed.message, with_reason(kCleanupWorkerFailed, failure.reason));
        EXPECT_TRUE(std::holds_alternative<DevCleanupDone>(updates[2]));
    }
}

// A process that may not make one more thread, for real: a user at its limit of
// processes (root is exempt from the limit, so the child becomes nobody first).
int without_new_threads(const std::function<int()>& body) {
    const auto limited = [&body] {
        const rlimit one{1, 1};
        if (::setrlimit(RLIMIT_NPROC, &one) != 0) return 100;
        return body();
    };
    if (::geteuid() == 0)
        return testing::run_in_child_as(testing::kNobody, testing::kNobody, limited);
    return testing::run_in_child(limited);
}

TEST(WorkerFailure, AThreadTheSystemRefusesIsToldAsResourcesRunningOut) {
    const std::string refused(platform::kOutOfThreadResources);
    const int code = without_new_threads([&refused] {
        auto [sender, receiver] = make_channel<UiMessage>();
        bool ran = false;
        auto thread = WorkerThread::start([&ran] { ran = true; });
        if (thread || thread.error() != refused) return 10;

        DiskView disk;
        if (start_disk_scan(disk, "/", sender) != "Could not start the scan: " + refused) return 11;
        if (disk.scanning || disk.error != "Could not start the scan: " + refused) return 12;

        DevView dev;
        dev.roots = {"/"};
        start_dev_search(dev, sender);
        if (dev.scanning || dev.error != "Could not start the search: " + refused) return 13;
        return ran ? 14 : 0;
    });
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace bramvelt::tui
