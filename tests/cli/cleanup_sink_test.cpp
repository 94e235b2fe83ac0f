#include "src/cli/cleanup_sink.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/filesystem/parent_handle.hpp"
#include "core/host_trash/trash_authorization.hpp"
#include "platform/signals.hpp"
#include "support/lines.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::cli {
namespace {

namespace fs = std::filesystem;
using cleanup::CleanupItemResult;
using cleanup::CleanupStatus;

CleanupItemResult result(std::string id, std::string path, CleanupStatus status,
                         std::uint64_t bytes, std::optional<std::string> error = std::nullopt,
                         std::optional<std::string> code = std::nullopt) {
    CleanupItemResult r;
    r.item_id = std::move(id);
    r.path = std::move(path);
    r.status = status;
    r.processed_bytes = bytes;
    r.error = std::move(error);
    r.error_code = std::move(code);
    return r;
}

TEST(CleanupSink, ItemLines) {
    const std::optional<std::string> home = "/home/me";
    struct Case {
        CleanupItemResult result;
        std::string line;
    };
    const std::vector<Case> cases = {
        {result("item-0", "/home/me/ws/target", CleanupStatus::Removed, 1'536),
         "✓ removed     1.5 KiB  ~/ws/target"},
        {result("item-1", "/opt/x/node_modules", CleanupStatus::Trashed, 12),
         "✓ trashed        12 B  /opt/x/node_modules"},
        {result("item-2", "/home/me/a b", CleanupStatus::Failed, 0,
                "This folder changed after review. Files kept; scan again."),
         "✗ kept            0 B  ~/a b  — This folder changed after review. Files kept; scan "
         "again."},
        {result("item-3", "/home/me/w\tt", CleanupStatus::Cancelled, 0, "Cleanup stopped."),
         "■ stopped         0 B  ~/w\\tt  — Cleanup stopped."},
        // Cut short after part of it went: the size is what is gone, the mark stays.
        {result("item-4", "/home/me/w\tt", CleanupStatus::Cancelled, 2'048, "Cleanup stopped.",
                "development_partial"),
         "■ partial     2.0 KiB  ~/w\\tt  — Cleanup stopped."},
        {result("item-5", "/home/me/big", CleanupStatus::Failed, 4'096, "Permission denied",
                "development_partial"),
         "✗ partial     4.0 KiB  ~/big  — Permission denied"},
        {result("item-6", "/home/me/c", CleanupStatus::Failed, 0, "Gone.",
                "native_trash_indeterminate"),
         "✗ kept            0 B  ~/c  — Gone."},
    };
    for (const auto& c : cases) EXPECT_EQ(cleanup_item_line(c.result, home), c.line);
}

TEST(CleanupSink, PrintsEachItemAndAddsUpSummaries) {
    platform::StringWriter out;
    CliCleanupSink sink(out, ItemLines::Printed, std::nullopt);
    sink.on_event(cleanup::PlanStarted{std::nullopt, 2, 0});
    sink.on_event(cleanup::Progress{});
    sink.on_event(cleanup::ItemFinished{result("item-0", "/w/a", CleanupStatus::Removed, 10)});
    sink.on_event(cleanup::ItemFinished{
        result("item-1", "/w/b", CleanupStatus::Failed, 0, "gone", "native_trash_indeterminate")});
    cleanup::CleanupSummary first;
    first.completed_items = 1;
    first.failed_items = 1;
    first.processed_bytes = UINT64_MAX - 5;
    first.trashed_bytes = UINT64_MAX - 7;
    sink.on_event(cleanup::Summary{first});
    sink.on_event(cleanup::Failed{"development_preflight",
                                  "Choose 1 through 256 development "
                                  "items inside the scanned folders."});
    cleanup::CleanupSummary second;
    second.cancelled_items = 3;
    second.processed_bytes = 10;
    second.trashed_bytes = 10;
    second.cancelled = true;
    sink.on_event(cleanup::Summary{second});

    EXPECT_EQ(testing::lines_of(out.text()),
              (std::vector<std::string>{"✓ removed        10 B  /w/a",
                                        "✗ kept            0 B  /w/b  — gone"}));
    ASSERT_EQ(sink.results().size(), 2u);
    EXPECT_EQ(sink.results()[1].error_code,
              std::optional<std::string>("native_trash_indeterminate"));
    EXPECT_EQ(sink.completed_items(), 1u);
    EXPECT_EQ(sink.failed_items(), 1u);
    EXPECT_EQ(sink.cancelled_items(), 3u);
    EXPECT_EQ(sink.processed_bytes(), UINT64_MAX);  // saturates, never wraps
    EXPECT_EQ(sink.trashed_bytes(), UINT64_MAX);
    EXPECT_TRUE(sink.cancelled());
    EXPECT_EQ(sink.failures(),
              std::vector<std::string>{"Choose 1 through 256 development items inside the scanned "
                                       "folders."});
}

TEST(CleanupSink, QuietKeepsResultsWithoutLines) {
    platform::StringWriter out;
    CliCleanupSink sink(out, ItemLines::Quiet, std::nullopt);
    sink.on_event(cleanup::ItemFinished{result("item-0", "/w/a", CleanupStatus::Trashed, 10)});
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(sink.results().size(), 1u);
    EXPECT_FALSE(sink.cancelled());
}

// The host side runs inside the event: only the registered item with its own token moves.
struct SinkTrash : ::testing::Test {
    testing::TempDir tmp;
    std::string home = tmp.make_dir("home");
    testing::ScopedEnv home_env{"HOME", home.c_str()};
    testing::ScopedEnv data_env{"XDG_DATA_HOME", (tmp / "data").c_str()};
    std::string item = tmp.write_file("home/ws/target/out.bin", "x");
    CancelFlag cancel = make_cancel_flag();

    static void SetUpTestSuite() { platform::ignore_sigpipe(); }

    std::shared_ptr<host_trash::TrashAuthorization> authorize(const std::string& path) {
        auto parent = filesystem::open_parent_dir(path).value();
        const auto identity = filesystem::identity_at(parent.parent_fd(), parent.name()).value();
        policy::PolicyContext context;
        context.home = home;
        return std::make_shared<host_trash::TrashAuthorization>(
            host_trash::TrashAuthorizationFields{
                .context = context,
                .parent = std::move(parent),
                .identity = identity,
                .item_id = "item-0",
                .path = path,
                .token = host_trash::new_trash_token().value(),
                .issued_at = host_trash::Clock::now(),
                .tree_recheck = [](std::string_view, const CancelFlag&, policy::Acknowledgement)
                    -> std::expected<void, host_trash::TreeRecheckFailure> { return {}; },
                .cancel = cancel,
                .acknowledged = policy::Acknowledgement::Missing,
            });
    }
};

TEST_F(SinkTrash, ServesOnlyTheRegisteredItemWithItsToken) {
    host_trash::TrashHostSettings host;
    host.program = std::string(BRAMVELT_BINARY_DIR) + "/bramvelt-trash-host";
    platform::StringWriter out;
    CliCleanupSink sink(out, ItemLines::Printed, home, host);
    const std::string target = tmp / "home/ws/target";
    auto registry = std::make_shared<host_trash::TrashRegistry>();
    auto authorization = authorize(target);
    registry->insert("item-0", authorization);

    const auto request = [&](std::string id, std::string token) {
        return cleanup::NativeTrashRequest{authorization->identity(), std::move(id), target,
                                           std::move(token)};
    };
    sink.on_event(request("item-0", authorization->token()));  // no registry yet
    EXPECT_EQ(authorization->state(), host_trash::TrashState::Issued);
    sink.set_registry(registry);
    sink.on_event(request("item-1", authorization->token()));
    sink.on_event(request("item-0", std::string(48, 'f')));
    EXPECT_EQ(authorization->state(), host_trash::TrashState::Issued);
    EXPECT_TRUE(fs::exists(target));

    sink.on_event(request("item-0", authorization->token()));
    EXPECT_EQ(authorization->state(), host_trash::TrashState::Trashed);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(fs::exists(tmp / "data/Trash/files/target/out.bin"));
    EXPECT_TRUE(fs::exists(tmp / "data/Trash/info/target.trashinfo"));
    EXPECT_EQ(out.text(), "");  // a request prints nothing
    EXPECT_TRUE(sink.results().empty());
}

}  // namespace
}  // namespace bramvelt::cli
