#include "core/cleanup/orchestrator.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "cleanup_fixture.hpp"
#include "core/cleanup/authorization_walk.hpp"
#include "core/cleanup/backup_archive.hpp"
#include "core/cleanup/event_forwarding.hpp"
#include "core/cleanup/validation.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "platform/resource_exhaustion.hpp"
#include "removal_failure.hpp"

namespace bramvelt::cleanup {
namespace {

namespace fs = std::filesystem;

// The variant names in the order a sink saw them.
std::vector<std::string> shape(const std::vector<CleanupEvent>& events) {
    static const char* const kNames[] = {
        "PlanStarted", "Progress", "NativeTrashRequest", "ExternalBackupRequest", "ItemFinished",
        "Summary",     "Failed"};
    std::vector<std::string> names;
    for (const CleanupEvent& event : events) names.emplace_back(kNames[event.index()]);
    return names;
}

class OrchestratorTest : public CleanupTest {};

TEST_F(OrchestratorTest, EventOrderAndCountsOfAPlanWithAFailedItem) {
    tmp_.write_file("work/a/f", "aaaa");
    tmp_.write_file("work/b/f", "bb");
    tmp_.write_file("work/c", "c");
    const std::uint64_t a = disk_bytes(at("a"));
    const std::uint64_t b = disk_bytes(at("b"));
    const std::uint64_t c = disk_bytes(at("c"));
    const auto events = run(plan_of({"a", "b", "c"}), [&](const CleanupEvent& event) {
        // b changes after validation: its step guard refuses it, and the plan goes on.
        if (std::holds_alternative<PlanStarted>(event)) tmp_.write_file("work/b/new");
    });
    EXPECT_EQ(shape(events),
              (std::vector<std::string>{"PlanStarted", "Progress", "ItemFinished", "Progress",
                                        "ItemFinished", "Progress", "Progress", "ItemFinished",
                                        "Progress", "Summary"}));
    const auto started = events_of<PlanStarted>(events);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].items, 3u);
    EXPECT_EQ(started[0].work_bytes, a + b + c);
    EXPECT_FALSE(started[0].caution);

    const auto finished = events_of<ItemFinished>(events);
    ASSERT_EQ(finished.size(), 3u);
    EXPECT_EQ(finished[0].result.status, CleanupStatus::Removed);
    EXPECT_EQ(finished[1].result.status, CleanupStatus::Failed);
    EXPECT_EQ(finished[1].result.error, filesystem::kItemChanged);
    EXPECT_EQ(finished[1].result.processed_bytes, 0u);
    EXPECT_EQ(finished[1].result.item_id, "item-1");
    EXPECT_EQ(finished[1].result.path, at("b"));
    EXPECT_EQ(finished[2].result.status, CleanupStatus::Removed);

    // After each item one Progress counts it, with the stage the item left.
    const auto progress = events_of<Progress>(events);
    ASSERT_EQ(progress.size(), 5u);
    EXPECT_EQ(progress[0].progress.detail, at("a"));
    EXPECT_EQ(progress[0].progress.items_done, 0u);
    EXPECT_EQ(progress[0].progress.bytes_total, a + b + c);
    EXPECT_EQ(progress[1].progress.items_done, 1u);
    EXPECT_EQ(progress[1].progress.bytes_done, a);
    EXPECT_EQ(progress[2].progress.items_done, 2u);
    EXPECT_EQ(progress[2].progress.stage, kStageRemoving);
    EXPECT_EQ(progress[2].progress.item_id, "item-0");
    EXPECT_EQ(progress[4].progress.items_done, 3u);
    EXPECT_EQ(progress[4].progress.bytes_done, a + c);

    const auto summary = events_of<Summary>(events);
    ASSERT_EQ(summary.size(), 1u);
    const CleanupSummary& s = summary[0].summary;
    EXPECT_EQ(s.completed_items + s.failed_items + s.cancelled_items, finished.size());
    EXPECT_EQ(s.completed_items, 2u);
    EXPECT_EQ(s.failed_items, 1u);
    EXPECT_EQ(s.processed_bytes, a + c);
    ASSERT_EQ(s.results.size(), 1u);
    EXPECT_EQ(s.results[0], finished[1].result);
    EXPECT_FALSE(s.cancelled);
    EXPECT_FALSE(s.backup_folder);
    EXPECT_TRUE(exists_nofollow(at("b/f")));
}

TEST_F(OrchestratorTest, AnItemRefusedByItsGuardLeavesTheStageEmpty) {
    tmp_.write_file("work/a/f");
    const auto events = run(plan_of({"a"}), [&](const CleanupEvent& event) {
        if (std::holds_alternative<PlanStarted>(event)) tmp_.write_file("work/a/g");
    });
    ASSERT_EQ(shape(events),
              (std::vector<std::string>{"PlanStarted", "ItemFinished", "Progress", "Summary"}));
    const CleanupProgress& after = std::get<Progress>(events[2]).progress;
    EXPECT_EQ(after.stage, "");
    EXPECT_EQ(after.items_done, 1u);
    EXPECT_EQ(after.items_total, 1u);
    EXPECT_TRUE(exists_nofollow(at("a/g")));
}

TEST_F(OrchestratorTest, CancelledAfterTheFirstItem) {
    for (const char* name : {"a", "b", "c"}) tmp_.write_file(std::string("work/") + name, "x");
    const CancelFlag cancel = make_cancel_flag();
    const auto events = run(
        plan_of({"a", "b", "c"}),
        [&](const CleanupEvent& event) {
            if (std::holds_alternative<ItemFinished>(event)) cancel->store(true);
        },
        cancel);
    const auto finished = events_of<ItemFinished>(events);
    ASSERT_EQ(finished.size(), 3u);
    EXPECT_EQ(finished[0].result.status, CleanupStatus::Removed);
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(finished[i].result.status, CleanupStatus::Cancelled);
        EXPECT_EQ(finished[i].result.error, "Cleanup cancelled");
    }
    const CleanupSummary s = events_of<Summary>(events).at(0).summary;
    EXPECT_EQ(s.completed_items, 1u);
    EXPECT_EQ(s.cancelled_items, 2u);
    EXPECT_EQ(s.results.size(), 2u);
    EXPECT_TRUE(s.cancelled);
    EXPECT_TRUE(exists_nofollow(at("b")));
    EXPECT_TRUE(exists_nofollow(at("c")));
}

// Memory runs out once two files of the second item went: it fails with the text and
// what went; the plan stops itself, so the third is not touched.
TEST_F(OrchestratorTest, OutOfMemoryFailsTheItemUnderWayAndStopsThePlan) {
    for (const char* name : {"a", "b", "c"}) {
        for (int i = 0; i < 4; ++i) {
            tmp_.write_file("work/" + std::string(name) + "/f" + std::to_string(i), "data");
        }
    }
    const std::uint64_t second_before = disk_bytes(at("b"));
    const auto third_before = tree_listing(at("c"));
    const CancelFlag cancel = make_cancel_flag();
    std::vector<CleanupEvent> events;
    {
        const testing::RemovalRunsOutOfMemory failing(at("b"), 2);
        events = run(plan_of({"a", "b", "c"}), cancel);
    }
    const auto finished = events_of<ItemFinished>(events);
    ASSERT_EQ(finished.size(), 3u);
    EXPECT_EQ(finished[0].result.status, CleanupStatus::Removed);
    EXPECT_FALSE(exists_nofollow(at("a")));
    const CleanupItemResult& second = finished[1].result;
    EXPECT_EQ(second.status, CleanupStatus::Failed);
    EXPECT_EQ(second.error, platform::kOutOfMemory);
    EXPECT_EQ(second.error_code, kCodeDevelopmentPartial);
    EXPECT_GT(second.processed_bytes, 0u);
    EXPECT_EQ(second.processed_bytes, second_before - disk_bytes(at("b")));
    EXPECT_EQ(finished[2].result.status, CleanupStatus::Cancelled);
    EXPECT_EQ(finished[2].result.error, "Cleanup cancelled");
    EXPECT_EQ(tree_listing(at("c")), third_before);
    EXPECT_TRUE(is_cancelled(cancel));
    const CleanupSummary s = events_of<Summary>(events).at(0).summary;
    EXPECT_EQ(s.completed_items, 1u);
    EXPECT_EQ(s.failed_items, 1u);
    EXPECT_EQ(s.cancelled_items, 1u);
    EXPECT_TRUE(s.cancelled);
}

TEST_F(OrchestratorTest, ValidationFailureIsOneFailedEvent) {
    tmp_.write_file("work/a", "x");
    CleanupPlan plan = plan_of({"a", "a"});
    plan.items[1].item_id = "other";
    auto events = run(plan);
    ASSERT_EQ(shape(events), std::vector<std::string>{"Failed"});
    EXPECT_EQ(std::get<Failed>(events[0]).code, kCodeCleanupPreflight);
    EXPECT_EQ(std::get<Failed>(events[0]).message, kSelectionsOverlap);

    const CancelFlag cancel = make_cancel_flag();
    cancel->store(true);
    tmp_.write_file("work/d/f");
    events = run(plan_of({"d"}), cancel);
    ASSERT_EQ(shape(events), std::vector<std::string>{"Failed"});
    EXPECT_EQ(std::get<Failed>(events[0]).code, kCodeCancelled);
    EXPECT_EQ(std::get<Failed>(events[0]).message, "Cleanup cancelled");
}

TEST_F(OrchestratorTest, WorkUnitsByAction) {
    tmp_.write_file("work/a", "12345");
    const auto trash = events_of<PlanStarted>(run(plan_of({"a"}, CleanupAction::trash())));
    ASSERT_EQ(trash.size(), 1u);
    EXPECT_EQ(trash[0].work_bytes, 0u);
    tmp_.write_file("work/a", "12345");  // the Trash plan took it
    const auto overwrite = events_of<PlanStarted>(run(plan_of({"a"}, CleanupAction::overwrite())));
    ASSERT_EQ(overwrite.size(), 1u);
    EXPECT_EQ(overwrite[0].work_bytes, 3 * 5u);  // every pass writes the file's size
    EXPECT_EQ(overwrite[0].caution, kOverwriteCaution);
    EXPECT_FALSE(exists_nofollow(at("a")));

    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(work_units(CleanupAction::Kind::Overwrite, kMax / 3 + 1), kMax);
    EXPECT_EQ(work_units(CleanupAction::Kind::BackupToFolder, 21), 42u);
    EXPECT_EQ(work_units(CleanupAction::Kind::Trash, kMax), 0u);
}

// Where the space a tree takes differs from its files' sizes (small files fill a block
// each, a sparse file takes almost none), each action's total counts what its progress
// counts, so the last report of a plan stands at its total. A file with a second link
// counts once in a removal, though removing the first leaves the second with one.
TEST_F(OrchestratorTest, EachActionsProgressEndsAtItsTotal) {
    const std::string staging = tmp_.make_dir("staging");
    testing::ScopedEnv tmpdir("TMPDIR", staging.c_str());
    const std::string backups = tmp_.make_dir("backups");
    const struct {
        CleanupAction action;
        std::uint64_t per_byte;  // 0: the review's measure
    } cases[] = {
        {CleanupAction::remove(), 0},
        {CleanupAction::overwrite(), 3},
        {CleanupAction::backup_to_folder(backups), 2},
        {CleanupAction::external_backup(), 2},
        {CleanupAction::trash(), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.action.kind));
        for (int i = 0; i < 12; ++i) tmp_.write_file("work/tree/small/" + std::to_string(i), "x");
        tmp_.write_file("work/tree/sparse", "end");
        fs::resize_file(at("tree/sparse"), 1 << 20);
        fs::create_symlink("small/0", at("tree/link"));
        const std::uint64_t sizes = 12 + (1 << 20);
        if (c.action.kind == CleanupAction::Kind::Delete) {
            fs::create_hard_link(at("tree/small/0"), at("tree/again"));
        }
        ASSERT_NE(disk_bytes(at("tree")), sizes);
        const std::uint64_t total = c.action.kind == CleanupAction::Kind::Trash ? 0
                                    : c.per_byte == 0 ? disk_bytes(at("tree"))
                                                      : c.per_byte * sizes;
        std::vector<CleanupEvent> events;
        auto [link, senders] = host_trash::open_host_link(registry_);
        execute_cleanup_plan(
            plan_of({"tree"}, c.action), make_cancel_flag(), link, [&](CleanupEvent event) {
                serve(event);
                // The host keeps its own copy of the archive and confirms it.
                if (const auto* r = std::get_if<ExternalBackupRequest>(&event)) {
                    const std::string kept = tmp_ / "host-copy.tar";
                    fs::copy_file(r->archive_path, kept, fs::copy_options::overwrite_existing);
                    senders.backup.send(
                        {r->item_id, r->token, true, std::nullopt,
                         verify_saved_backup(kept, r->sha256, r->size, nullptr).value()});
                }
                events.push_back(std::move(event));
            });
        ASSERT_FALSE(exists_nofollow(at("tree"))) << only_result(events).error.value_or("");
        const auto started = events_of<PlanStarted>(events);
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].work_bytes, total);
        const CleanupProgress last = events_of<Progress>(events).back().progress;
        EXPECT_EQ(last.bytes_total, total);
        EXPECT_EQ(last.bytes_done, total);
    }
}

class RunCleanupPlanTest : public CleanupTest {
  protected:
    std::expected<PlanOutcome, PlanFailure> run_one(const CleanupItem& item,
                                                    const CancelFlag& cancel = make_cancel_flag()) {
        auto [link, senders] = host_trash::open_host_link(registry_);
        return run_cleanup_plan(context_, CleanupAction::remove(), policy::Acknowledgement::Missing,
                                item, cancel, link, caller_,
                                [this](CleanupEvent event) { seen_.push_back(std::move(event)); });
    }
    CleanupProgress caller_;
    std::vector<CleanupEvent> seen_;
};

TEST_F(RunCleanupPlanTest, RemovedItemReportsAsTheCallersProgress) {
    tmp_.write_file("work/out/f", "123456");
    const std::uint64_t bytes = disk_bytes(at("out"));
    caller_ = {"checking_development", "/dev/item", "item-3", 3, 9, 100, 0};
    const auto outcome = run_one({std::nullopt, "item-3-output-0", at("out")});
    ASSERT_TRUE(outcome) << outcome.error().message;
    EXPECT_EQ(outcome->status, CleanupStatus::Removed);
    EXPECT_EQ(outcome->processed_bytes, bytes);
    EXPECT_FALSE(exists_nofollow(at("out")));
    ASSERT_EQ(shape(seen_), (std::vector<std::string>{"Progress", "Progress"}));
    const CleanupProgress& first = std::get<Progress>(seen_[0]).progress;
    EXPECT_EQ(first.stage, kStageRemoving);
    EXPECT_EQ(first.detail, at("out"));
    EXPECT_EQ(first.item_id, "item-3");
    EXPECT_EQ(first.items_done, 3u);
    EXPECT_EQ(first.items_total, 9u);
    EXPECT_EQ(first.bytes_done, 100u);
    EXPECT_EQ(first.bytes_total, 0u);
    EXPECT_EQ(std::get<Progress>(seen_[1]).progress.bytes_done, 100u + bytes);
}

TEST_F(RunCleanupPlanTest, FailuresComeBackAsText) {
    auto root = run_one({std::nullopt, "x", "/"});
    ASSERT_FALSE(root);
    EXPECT_EQ(root.error().message, kCannotRemoveRoot);
    EXPECT_TRUE(seen_.empty());

    // Validation failing while cancelled: the sink hears nothing, the caller gets the text.
    tmp_.write_file("work/d/f");
    const CancelFlag cancel = make_cancel_flag();
    cancel->store(true);
    auto cancelled = run_one({std::nullopt, "x", at("d")}, cancel);
    ASSERT_FALSE(cancelled);
    EXPECT_EQ(cancelled.error().message, "Cleanup cancelled");
    EXPECT_EQ(cancelled.error().status, CleanupStatus::Cancelled);
    EXPECT_TRUE(seen_.empty());

    auto missing = run_one({std::nullopt, "x", at("missing")});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message, policy::kMissingOrInaccessible);
    EXPECT_EQ(missing.error().status, CleanupStatus::Failed);
    EXPECT_FALSE(missing.error().error_code);

    auto identity = filesystem::read_identity(at("d"));
    ASSERT_TRUE(identity);
    identity->links += 1;
    auto changed = run_one({*identity, "x", at("d")});
    ASSERT_FALSE(changed);
    EXPECT_EQ(changed.error().message, kItemChangedSinceConfirmation);
    EXPECT_TRUE(exists_nofollow(at("d/f")));
}

TEST(ExecutorEventAdapter, KeepsOutcomesAndSaturatesRebasedBytes) {
    std::vector<CleanupEvent> seen;
    const CleanupEventSink sink = [&](CleanupEvent event) { seen.push_back(std::move(event)); };
    CleanupProgress caller;
    caller.bytes_done = std::numeric_limits<std::uint64_t>::max() - 1;
    ExecutorEventAdapter adapter(sink, caller);
    CleanupProgress plan_progress;
    plan_progress.stage = "removing";
    plan_progress.item_id = "inner";
    plan_progress.bytes_done = 10;
    adapter.forward_executor_event(PlanStarted{});
    adapter.forward_executor_event(Progress{plan_progress});
    adapter.forward_executor_event(NativeTrashRequest{{}, "inner", "/p", "token"});
    adapter.forward_executor_event(Failed{"cleanup_preflight", "first"});
    adapter.forward_executor_event(Failed{"cleanup_preflight", "second"});
    adapter.forward_executor_event(
        ItemFinished{{"inner", "/p", "why", {}, {}, 0, CleanupStatus::Failed}});
    adapter.forward_executor_event(Summary{});
    ASSERT_EQ(shape(seen), (std::vector<std::string>{"Progress", "NativeTrashRequest"}));
    const CleanupProgress& rebased = std::get<Progress>(seen[0]).progress;
    EXPECT_EQ(rebased.bytes_done, std::numeric_limits<std::uint64_t>::max());
    EXPECT_FALSE(rebased.item_id);
    EXPECT_EQ(adapter.kept_failure(), "second");
    ASSERT_TRUE(adapter.kept_result());
    EXPECT_EQ(adapter.kept_result()->error, "why");
}

}  // namespace
}  // namespace bramvelt::cleanup
