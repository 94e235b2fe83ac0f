// The Trash action end to end: plans whose items the real Trash host moves into this
// test's own freedesktop Trash, items that change between validation and the move, and
// hosts of the test's own whose outcome cannot be told.

#include "core/cleanup/native_trash_step.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <thread>

#include "cleanup_fixture.hpp"
#include "core/cleanup/authorization_walk.hpp"
#include "core/filesystem/identity.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "core/host_trash/trash_texts.hpp"
#include "support/race.hpp"

namespace bramvelt::cleanup {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class NativeTrashTest : public CleanupTest {
  protected:
    // A host program of this test's own: a shell script with `body`.
    std::string fake_host(const std::string& name, const std::string& body) const {
        const std::string path = tmp_.write_file("hosts/" + name, "#!/bin/sh\n" + body + "\n");
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    std::size_t entries_in(const std::string& folder) const {
        std::error_code ec;
        std::size_t n = 0;
        for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            ++n;
        }
        return n;
    }
};

// "[Trash Info]", the path, and a local time to the second.
void expect_record(const std::string& record, const std::string& path) {
    static const std::regex kRecord(
        "\\[Trash Info\\]\nPath=(.*)\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(record, match, kRecord)) << record;
    EXPECT_EQ(match[1], path);  // this test's paths need no percent-encoding
}

TEST_F(NativeTrashTest, AFileAndAFolderEndTrashedWithTheirRecords) {
    const std::string file = tmp_.write_file("work/f", "12345");
    tmp_.write_file("work/d/inner/x", "ab");
    tmp_.write_file("work/d/y");
    const ino_t file_inode = inode_of(file);
    const ino_t folder_inode = inode_of(at("d"));
    const std::uint64_t file_bytes = disk_bytes(file);
    const std::uint64_t folder_bytes = disk_bytes(at("d"));

    const auto events = run(plan_of({"f", "d"}, CleanupAction::trash()));
    const auto requests = events_of<NativeTrashRequest>(events);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].item_id, "item-0");
    EXPECT_EQ(requests[0].path, file);
    EXPECT_TRUE(std::regex_match(requests[0].token, std::regex("[0-9a-f]{48}")));
    EXPECT_NE(requests[0].token, requests[1].token);
    EXPECT_EQ(requests[1].identity.kind, "directory");
    EXPECT_EQ(requests[1].identity.inode, folder_inode);

    // Each request follows a forced report of the stage that waits for the host.
    for (std::size_t i = 1; i < events.size(); ++i) {
        if (!std::holds_alternative<NativeTrashRequest>(events[i])) continue;
        const auto* before = std::get_if<Progress>(&events[i - 1]);
        ASSERT_NE(before, nullptr);
        EXPECT_EQ(before->progress.stage, kStageAwaitingNativeTrash);
        EXPECT_EQ(before->progress.detail, std::get<NativeTrashRequest>(events[i]).path);
    }

    const auto finished = events_of<ItemFinished>(events);
    ASSERT_EQ(finished.size(), 2u);
    EXPECT_EQ(finished[0].result.status, CleanupStatus::Trashed);
    EXPECT_EQ(finished[0].result.processed_bytes, file_bytes);
    EXPECT_EQ(finished[0].result.trashed_bytes, file_bytes);
    EXPECT_FALSE(finished[0].result.error);
    EXPECT_EQ(finished[1].result.status, CleanupStatus::Trashed);
    EXPECT_EQ(finished[1].result.processed_bytes, folder_bytes);
    const CleanupSummary summary = events_of<Summary>(events).at(0).summary;
    EXPECT_EQ(summary.completed_items, 2u);
    EXPECT_EQ(summary.processed_bytes, file_bytes + folder_bytes);
    EXPECT_EQ(summary.trashed_bytes, file_bytes + folder_bytes);
    EXPECT_TRUE(summary.results.empty());

    EXPECT_FALSE(exists_nofollow(file));
    EXPECT_FALSE(exists_nofollow(at("d")));
    EXPECT_EQ(inode_of(trash_ + "/files/f"), file_inode);
    EXPECT_EQ(inode_of(trash_ + "/files/d"), folder_inode);
    EXPECT_EQ(read_text(trash_ + "/files/d/inner/x"), "ab");
    expect_record(read_text(trash_ + "/info/f.trashinfo"), file);
    expect_record(read_text(trash_ + "/info/d.trashinfo"), at("d"));
    // The step's registration ends with the step.
    EXPECT_EQ(registry_->find("item-0"), nullptr);
    EXPECT_EQ(registry_->find("item-1"), nullptr);
}

TEST_F(NativeTrashTest, AnItemChangedAfterValidationIsKept) {
    struct Case {
        const char* name;
        const char* event;  // when the change is made
        std::function<void()> change;
        std::string_view text;
    };
    const auto touch = [](const std::string& path) {
        const timespec times[2] = {{0, UTIME_OMIT}, {2'000'000'000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    };
    const Case cases[] = {
        // After the authorization was issued, before the host's re-check: its own text,
        // whether the item itself or something below it changed.
        {"new entry below", "request", [this] { tmp_.write_file("work/d/inner/new"); },
         host_trash::kItemChangedBeforeTrash},
        {"file grew below", "request",
         [this] { std::ofstream(at("d/inner/x"), std::ios::app) << "more"; },
         host_trash::kItemChangedBeforeTrash},
        {"item touched", "request", [&] { touch(at("d")); }, host_trash::kItemChangedBeforeTrash},
        // Before the step: its guard refuses it.
        {"item touched before the step", "start", [&] { touch(at("d")); },
         filesystem::kItemChanged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(at("d"));
        tmp_.write_file("work/d/inner/x", "ab");
        const bool on_request = std::string_view(c.event) == "request";
        const auto events = run(plan_of({"d"}, CleanupAction::trash()), [&](const CleanupEvent& e) {
            if ((on_request && std::holds_alternative<NativeTrashRequest>(e)) ||
                (!on_request && std::holds_alternative<PlanStarted>(e))) {
                c.change();
            }
        });
        const CleanupItemResult result = only_result(events);
        EXPECT_EQ(result.status, CleanupStatus::Failed);
        EXPECT_EQ(result.error, c.text);
        EXPECT_FALSE(result.error_code);
        EXPECT_TRUE(exists_nofollow(at("d/inner/x")));
        EXPECT_EQ(entries_in(trash_ + "/files"), 0u);
        EXPECT_EQ(entries_in(trash_ + "/info"), 0u);
    }
}

TEST_F(NativeTrashTest, AHostThatMovedTheItemButFailedLeavesItsFateUnknown) {
    struct Case {
        const char* name;
        std::string body;
    };
    const std::string away = tmp_.make_dir("away");
    // The host's own limit, far above what even a busy machine needs to start it and move
    // the item: the hanging host is killed only once it has surely moved it.
    constexpr auto kHostLimit = 30'000ms;
    const Case cases[] = {
        {"exits 1 after moving it", "cat >/dev/null\nmv \"$ITEM\" \"$AWAY\"\nexit 1"},
        {"hangs after moving it", "cat >/dev/null\nmv \"$ITEM\" \"$AWAY\"\nexec sleep 60"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(away + "/a");
        tmp_.write_file("work/a/f", "x");
        tmp_.write_file("work/b", "y");
        host_.program = fake_host(c.name, "ITEM='" + at("a") + "'\nAWAY='" + away + "'\n" + c.body);
        host_.time_limit = kHostLimit;
        const CancelFlag cancel = make_cancel_flag();
        const auto events = run(plan_of({"a", "b"}, CleanupAction::trash()), cancel);

        const auto finished = events_of<ItemFinished>(events);
        ASSERT_EQ(finished.size(), 2u);
        EXPECT_EQ(finished[0].result.status, CleanupStatus::Failed);
        EXPECT_EQ(finished[0].result.error_code, kCodeNativeTrashIndeterminate);
        EXPECT_EQ(finished[0].result.error, kNativeTrashUnknown);
        EXPECT_EQ(finished[0].result.processed_bytes, 0u);
        // The run stops there: the next item is not touched.
        EXPECT_EQ(finished[1].result.status, CleanupStatus::Cancelled);
        EXPECT_EQ(finished[1].result.error, "Cleanup cancelled");
        EXPECT_TRUE(exists_nofollow(at("b")));
        EXPECT_TRUE(is_cancelled(cancel));
        const CleanupSummary summary = events_of<Summary>(events).at(0).summary;
        EXPECT_EQ(summary.failed_items, 1u);
        EXPECT_EQ(summary.cancelled_items, 1u);
        EXPECT_TRUE(summary.cancelled);
        fs::remove(at("b"));
    }
}

TEST_F(NativeTrashTest, RunCleanupPlanReturnsTrashed) {
    tmp_.write_file("work/out/f", "1234");
    const std::uint64_t bytes = disk_bytes(at("out"));
    auto [link, senders] = host_trash::open_host_link(registry_);
    CleanupProgress caller;
    caller.item_id = "item-2";
    std::vector<std::string> request_ids;
    const auto outcome =
        run_cleanup_plan(context_, CleanupAction::trash(), policy::Acknowledgement::Missing,
                         {std::nullopt, "item-2-output-0", at("out")}, make_cancel_flag(), link,
                         caller, [&](CleanupEvent event) {
                             if (const auto* r = std::get_if<NativeTrashRequest>(&event)) {
                                 request_ids.push_back(r->item_id);
                             }
                             serve(event);
                         });
    ASSERT_TRUE(outcome) << outcome.error().message;
    EXPECT_EQ(outcome->status, CleanupStatus::Trashed);
    EXPECT_EQ(outcome->processed_bytes, bytes);
    // The request keeps the plan's own id; the sink serves it under that id.
    EXPECT_EQ(request_ids, std::vector<std::string>{"item-2-output-0"});
    EXPECT_EQ(read_text(trash_ + "/files/out/f"), "1234");
}

TEST_F(NativeTrashTest, RunCleanupPlanReturnsTheCodeOfAnItemWhoseFateIsUnknown) {
    tmp_.write_file("work/out/f", "1234");
    const std::string away = tmp_.make_dir("away");
    host_.program = fake_host("moves and fails",
                              "cat >/dev/null\nmv '" + at("out") + "' '" + away + "'\nexit 1");
    auto [link, senders] = host_trash::open_host_link(registry_);
    const CancelFlag cancel = make_cancel_flag();
    const auto outcome =
        run_cleanup_plan(context_, CleanupAction::trash(), policy::Acknowledgement::Missing,
                         {std::nullopt, "item-0-output-0", at("out")}, cancel, link,
                         CleanupProgress{}, [&](CleanupEvent event) { serve(event); });
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message, kNativeTrashUnknown);
    EXPECT_EQ(outcome.error().error_code, kCodeNativeTrashIndeterminate);
    // Failed although the step cancelled the run: its fate is unknown, not stopped.
    EXPECT_EQ(outcome.error().status, CleanupStatus::Failed);
    EXPECT_TRUE(is_cancelled(cancel));
}

TEST(TreeRecheckOf, ReportsAChangedTreeAsChangedAndOtherFailuresWithTheirText) {
    testing::TempDir tmp;
    const std::string item = tmp.make_dir("item");
    tmp.write_file("item/f", "x");
    const auto identity = filesystem::read_identity(item).value();
    auto snapshot = snapshot_authorized_item(item, identity, RemovalRules{}, make_cancel_flag());
    ASSERT_TRUE(snapshot) << snapshot.error();
    const host_trash::TreeRecheck recheck = tree_recheck_of(snapshot->snapshot);
    const CancelFlag cancel = make_cancel_flag();
    EXPECT_TRUE(recheck(item, cancel, policy::Acknowledgement::Missing));

    tmp.write_file("item/g");
    auto changed = recheck(item, cancel, policy::Acknowledgement::Missing);
    ASSERT_FALSE(changed);
    EXPECT_EQ(changed.error().kind, host_trash::TreeRecheckFailure::Kind::Changed);

    // A path the snapshot does not hold is no change of the tree but a failure to check it.
    auto elsewhere = recheck(tmp / "other", cancel, policy::Acknowledgement::Missing);
    ASSERT_FALSE(elsewhere);
    EXPECT_EQ(elsewhere.error().kind, host_trash::TreeRecheckFailure::Kind::Other);
    EXPECT_EQ(elsewhere.error().message, kSnapshotIncomplete);
}

// An attacker swaps the item's parent folder for a link to a decoy folder, or for the
// decoy folder itself, at varied moments while Trash plans run: whatever each plan's
// result, only the item ever reaches the Trash and the decoy stays where it is. Every
// fourth plan runs undisturbed and must reach the Trash. Each plan carries the item's
// reviewed identity, as a development cleanup's always does: without one, a decoy folder
// renamed into place before validation simply is the folder the path names.
TEST_F(NativeTrashTest, SwappedParentsNeverSendAnotherEntryToTheTrash) {
    const std::string decoy = tmp_ / "decoy";
    tmp_.write_file("decoy/item", "decoy");
    tmp_.write_file("decoy/keep", "decoy");
    const auto before = tree_listing(decoy);

    std::atomic<bool> stop{false};
    std::atomic<bool> attack{false};
    std::atomic<bool> busy{false};
    std::atomic<int> swaps{0};
    // How long an undisturbed plan took, so the swaps spread over a whole plan however
    // slow the machine is.
    std::atomic<long> plan_us{15000};
    std::thread attacker([&] {
        std::minstd_rand random(11);
        const std::string parent = at("p");
        const std::string aside = at("p.aside");
        while (!stop.load()) {
            if (!attack.load()) {
                std::this_thread::yield();
                continue;
            }
            busy.store(true);
            // At a varied moment of the plan (validation, the guards, the host's checks,
            // its move), unless the plan ended first.
            const auto when = std::chrono::steady_clock::now() +
                              std::chrono::microseconds(random() % (plan_us.load() + 1));
            while (attack.load() && std::chrono::steady_clock::now() < when) {
                std::this_thread::sleep_for(100us);
            }
            if (attack.load() && ::rename(parent.c_str(), aside.c_str()) == 0) {
                swaps.fetch_add(1);
                if (random() % 2 == 0) {
                    if (::symlink(decoy.c_str(), parent.c_str()) == 0) {
                        std::this_thread::yield();
                        ::unlink(parent.c_str());
                    }
                } else if (::rename(decoy.c_str(), parent.c_str()) == 0) {
                    std::this_thread::yield();
                    ::rename(parent.c_str(), decoy.c_str());
                }
                ::rename(aside.c_str(), parent.c_str());
            }
            busy.store(false);
        }
    });
    // A failed assertion returns early: the attacker is stopped and joined all the same.
    const auto join_attacker = [&](std::thread* t) {
        stop.store(true);
        t->join();
    };
    const std::unique_ptr<std::thread, decltype(join_attacker)> joined(&attacker, join_attacker);

    testing::RaceRounds race(200, 2000);  // each round starts the host program
    int trashed = 0;
    while (race.more()) {
        const int round = race.rounds();
        tmp_.write_file("work/p/item", "inside " + std::to_string(round));
        const ino_t item_inode = inode_of(at("p/item"));
        auto plan = plan_of({"p/item"}, CleanupAction::trash());
        auto reviewed = filesystem::read_identity(at("p/item"));
        ASSERT_TRUE(reviewed) << reviewed.error().message;
        plan.items[0].expected_identity = *reviewed;
        const bool undisturbed = round % 4 == 0;
        const int swaps_before = swaps.load();
        const auto started = std::chrono::steady_clock::now();
        attack.store(!undisturbed);
        const auto events = run(plan);
        attack.store(false);
        while (busy.load()) std::this_thread::yield();
        if (undisturbed) {
            plan_us.store(std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - started)
                              .count());
        }
        ASSERT_EQ(tree_listing(decoy), before) << "round " << round;
        const auto finished = events_of<ItemFinished>(events);
        const bool moved =
            finished.size() == 1 && finished[0].result.status == CleanupStatus::Trashed;
        // Trashed exactly when the item left its folder; no outcome is left unknown.
        ASSERT_EQ(moved, !exists_nofollow(at("p/item"))) << "round " << round;
        ASSERT_TRUE(moved || !undisturbed) << "round " << round;
        if (finished.size() == 1) {
            ASSERT_FALSE(finished[0].result.error_code) << "round " << round;
        }
        if (moved) {
            ++trashed;
            const std::string landed =
                trash_ + "/files/item" + (trashed == 1 ? "" : "." + std::to_string(trashed));
            ASSERT_EQ(inode_of(landed), item_inode) << "round " << round;
        }
        ASSERT_EQ(entries_in(trash_ + "/files"), static_cast<std::size_t>(trashed));
        ASSERT_EQ(entries_in(trash_ + "/info"), static_cast<std::size_t>(trashed));
        std::error_code ec;
        fs::remove(at("p/item"), ec);
        race.count(swaps.load() != swaps_before);
    }
    RecordProperty("trashed", trashed);
    std::cerr << race.rounds() << " rounds, " << trashed << " trashed\n";
    testing::conclude(race);
}

}  // namespace
}  // namespace bramvelt::cleanup
