#include "core/cleanup/permanent_removal.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "cleanup_fixture.hpp"
#include "core/cleanup/cancelled.hpp"
#include "core/cleanup/child_dir.hpp"
#include "core/cleanup/dev_cleanup_texts.hpp"
#include "core/cleanup/directory_names.hpp"
#include "core/cleanup/removal_entry.hpp"
#include "core/cleanup/validation.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "core/policy/classification.hpp"
#include "platform/change_clock.hpp"
#include "platform/fd.hpp"
#include "support/as_user.hpp"

namespace bramvelt::cleanup {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class PermanentRemovalTest : public CleanupTest {
  protected:
    // An outside folder with a file, which items link to and must never touch.
    void make_outside() {
        tmp_.write_file("outside/keep", "outside data");
        tmp_.write_file("outside/nested/deep", "deeper");
        outside_before_ = tree_listing(tmp_ / "outside");
    }
    void expect_outside_untouched() const {
        EXPECT_EQ(tree_listing(tmp_ / "outside"), outside_before_);
    }

    // A chain of `depth` folders named "d" under `relative`, a file at the bottom.
    void make_deep(std::string_view relative, int depth) {
        tmp_.make_dir(std::string("work/") + std::string(relative));
        int fd = ::open(at(relative).c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(fd, 0);
        for (int i = 0; i < depth; ++i) {
            ASSERT_EQ(::mkdirat(fd, "d", 0700), 0);
            const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
            ::close(fd);
            ASSERT_GE(next, 0);
            fd = next;
        }
        const int file = ::openat(fd, "bottom", O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(file, 0);
        ASSERT_EQ(::write(file, "xyz", 3), 3);
        ::close(file);
        ::close(fd);
    }

    std::vector<std::string> outside_before_;
};

TEST_F(PermanentRemovalTest, DeletesARealTreeAndNothingBeyondIt) {
    make_outside();
    tmp_.write_file("work/item/a.txt", "12345");
    tmp_.write_file("work/item/sub/b.bin", std::string(1000, 'b'));
    tmp_.write_file("work/item/sub/deeper/.hidden", "hi");
    tmp_.make_dir("work/item/empty");
    ASSERT_EQ(::link((tmp_ / "outside/keep").c_str(), at("item/sub/hardlink").c_str()), 0);
    ASSERT_EQ(::link(at("item/a.txt").c_str(), at("item/sub/a-again").c_str()), 0);
    fs::create_directory_symlink(tmp_ / "outside", at("item/to-outside"));
    fs::create_symlink(tmp_ / "outside/keep", at("item/sub/to-file"));
    fs::create_symlink("nowhere", at("item/dangling"));
    outside_before_ = tree_listing(tmp_ / "outside");  // with the second link counted
    const ino_t kept = inode_of(tmp_ / "outside/keep");
    tmp_.write_file("work/beside", "stay");
    const std::uint64_t bytes = disk_bytes(at("item"));

    const auto events = run(plan_of({"item"}));
    const CleanupItemResult result = only_result(events);
    EXPECT_EQ(result.status, CleanupStatus::Removed) << result.error.value_or("");
    EXPECT_EQ(result.processed_bytes, bytes);
    // The file linked twice inside counts once, though its second link had one link left.
    EXPECT_EQ(events_of<Progress>(events).back().progress.bytes_done, bytes);
    EXPECT_EQ(result.path, at("item"));
    EXPECT_FALSE(exists_nofollow(at("item")));
    EXPECT_TRUE(exists_nofollow(at("beside")));
    EXPECT_EQ(inode_of(tmp_ / "outside/keep"), kept);
    EXPECT_EQ(read_text(tmp_ / "outside/keep"), "outside data");
    // The outside file's link count went back down; everything else is as it was.
    make_outside();
    expect_outside_untouched();
}

TEST_F(PermanentRemovalTest, FileAndLinkItemsGoThroughTheirParent) {
    make_outside();
    tmp_.write_file("work/file", "0123456789");
    fs::create_directory_symlink(tmp_ / "outside", at("link"));
    const std::uint64_t bytes = disk_bytes(at("file"));
    const auto events = run(plan_of({"file", "link"}));
    const auto finished = events_of<ItemFinished>(events);
    ASSERT_EQ(finished.size(), 2u);
    EXPECT_EQ(finished[0].result.status, CleanupStatus::Removed);
    EXPECT_EQ(finished[0].result.processed_bytes, bytes);
    EXPECT_EQ(finished[1].result.status, CleanupStatus::Removed);
    EXPECT_EQ(finished[1].result.processed_bytes, 0u);
    EXPECT_FALSE(exists_nofollow(at("file")));
    EXPECT_FALSE(exists_nofollow(at("link")));
    expect_outside_untouched();
    // No private name of the removal is left behind.
    EXPECT_TRUE(fs::is_empty(root_));
}

TEST_F(PermanentRemovalTest, AFifoInsideRefusesTheItemBeforeAnythingGoes) {
    tmp_.write_file("work/item/a", "a");
    tmp_.write_file("work/item/z/b", "b");
    ASSERT_EQ(::mkfifo(at("item/z/pipe").c_str(), 0600), 0);
    const auto before = tree_listing(at("item"));
    const auto events = run(plan_of({"item"}));
    ASSERT_EQ(events.size(), 1u);
    const auto failed = events_of<Failed>(events);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].code, kCodeCleanupPreflight);
    EXPECT_EQ(failed[0].message, kSpecialEntry);
    EXPECT_EQ(tree_listing(at("item")), before);
}

// Mounted between validation and removal, or before: either way the mounted folders keep
// everything. A bind mount of a folder of the same file system shares its device; the
// kernel's mount-root attribute still marks it. Runs in a private mount namespace.
TEST_F(PermanentRemovalTest, MountsInsideAnItemAreRefusedAndUntouched) {
    make_outside();
    for (const char* item : {"tmp-before", "bind-before", "tmp-after", "bind-after"}) {
        tmp_.write_file(std::string("work/") + item + "/file", "x");
        tmp_.make_dir(std::string("work/") + item + "/m");
    }
    const int code = testing::run_in_child([&]() -> int {
        if (::unshare(CLONE_NEWNS) != 0) return 77;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        const auto mount_tmpfs = [&](const std::string& item) {
            if (::mount("tmpfs", at(item + "/m").c_str(), "tmpfs", 0, "size=1m") != 0) return false;
            return fs::create_directory(at(item + "/m/inside"));
        };
        const auto mount_bind = [&](const std::string& item) {
            return ::mount((tmp_ / "outside").c_str(), at(item + "/m").c_str(), nullptr, MS_BIND,
                           nullptr) == 0;
        };
        if (!mount_tmpfs("tmp-before") || !mount_bind("bind-before")) return 77;
        for (const char* item : {"tmp-before", "bind-before"}) {
            const auto events = run(plan_of({item}));
            const auto failed = events_of<Failed>(events);
            if (events.size() != 1 || failed.size() != 1) return 10;
            if (failed[0].message != kCrossesFilesystem) return 11;
        }
        bool mounted = true;
        for (const char* item : {"tmp-after", "bind-after"}) {
            const auto events = run(plan_of({item}), [&](const CleanupEvent& event) {
                if (!std::holds_alternative<PlanStarted>(event)) return;
                mounted = std::string(item) == "tmp-after" ? mount_tmpfs(item) : mount_bind(item);
            });
            if (!mounted) return 77;
            const auto finished = events_of<ItemFinished>(events);
            if (finished.size() != 1) return 20;
            if (finished[0].result.error != kCrossesFilesystem) return 21;
        }
        if (!fs::exists(at("tmp-before/m/inside")) || !fs::exists(at("tmp-after/m/inside"))) {
            return 30;
        }
        if (tree_listing(tmp_ / "outside") != outside_before_) return 31;
        if (tree_listing(at("bind-after/m")) != outside_before_) return 32;
        return 0;
    });
    if (code == 77) GTEST_SKIP() << "mount namespaces are not available here";
    EXPECT_EQ(code, 0);
    expect_outside_untouched();
}

// A test hook renames another file over the item's name between the identity check and
// the removal: the file renamed in is never the one removed.
std::string swap_from;
std::string swap_to;
void swap_in_intruder() {
    ::rename(swap_from.c_str(), swap_to.c_str());
}

TEST_F(PermanentRemovalTest, AFileRenamedOverTheItemAtTheLastMomentStays) {
    tmp_.write_file("work/victim", "authorized");
    tmp_.write_file("work/intruder", "someone else's");
    swap_from = at("intruder");
    swap_to = at("victim");
    filesystem::set_before_unlink_hook_for_testing(&swap_in_intruder);
    const auto events = run(plan_of({"victim"}));
    filesystem::set_before_unlink_hook_for_testing(nullptr);
    const CleanupItemResult result = only_result(events);
    EXPECT_EQ(result.status, CleanupStatus::Failed);
    EXPECT_EQ(result.error, filesystem::kItemChanged);
    EXPECT_EQ(read_text(at("victim")), "someone else's");
}

TEST_F(PermanentRemovalTest, ChangesBetweenValidationAndRemoval) {
    make_outside();
    tmp_.write_file("work/swapped/a/sub/f", "f");
    tmp_.write_file("work/replaced/f", "f");
    tmp_.write_file("work/parent/item/f", "f");
    struct Case {
        std::string item;
        std::function<void()> change;
        std::optional<std::string_view> error;  // none: removed
    };
    const std::vector<Case> cases = {
        // A folder inside swapped for a link to the outside: the link goes, never followed.
        // (Deeper than the item's own entries, whose change would change the item.)
        {"swapped",
         [&] {
             fs::rename(at("swapped/a/sub"), tmp_ / "moved-sub");
             fs::create_directory_symlink(tmp_ / "outside", at("swapped/a/sub"));
         },
         std::nullopt},
        // The item itself replaced by another folder.
        {"replaced",
         [&] {
             fs::rename(at("replaced"), at("replaced-away"));
             tmp_.write_file("work/replaced/other", "other");
         },
         filesystem::kItemChanged},
        // A folder on the way replaced by a link.
        {"parent/item",
         [&] {
             fs::rename(at("parent"), at("parent-away"));
             fs::create_directory_symlink(at("parent-away"), at("parent"));
         },
         filesystem::kParentChanged},
    };
    for (const Case& c : cases) {
        const auto events = run(plan_of({c.item}), [&](const CleanupEvent& event) {
            if (std::holds_alternative<PlanStarted>(event)) c.change();
        });
        const CleanupItemResult result = only_result(events);
        EXPECT_EQ(result.error, c.error) << c.item;
    }
    EXPECT_FALSE(exists_nofollow(at("swapped")));
    EXPECT_EQ(read_text(tmp_ / "moved-sub/f"), "f");
    EXPECT_EQ(read_text(at("replaced/other")), "other");
    EXPECT_EQ(read_text(at("replaced-away/f")), "f");
    EXPECT_EQ(read_text(at("parent-away/item/f")), "f");
    expect_outside_untouched();
}

TEST_F(PermanentRemovalTest, ChildFolderSwappedBetweenExaminingAndOpening) {
    make_outside();
    tmp_.make_dir("work/item/sub");
    tmp_.make_dir("work/item/other");
    struct stat st {};
    ASSERT_EQ(::lstat(at("item/sub").c_str(), &st), 0);
    const int item = ::open(at("item").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(item, 0);
    ASSERT_TRUE(open_child_dir(item, "sub", st.st_dev, st.st_ino));

    fs::rename(at("item/sub"), at("sub-away"));
    fs::create_directory_symlink(tmp_ / "outside", at("item/sub"));
    auto through_link = open_child_dir(item, "sub", st.st_dev, st.st_ino);
    ASSERT_FALSE(through_link);
    // The system's text: "Not a directory" for a link opened as a directory without following.
    EXPECT_TRUE(through_link.error().starts_with(kCannotOpenFolder)) << through_link.error();

    fs::remove(at("item/sub"));
    fs::rename(at("item/other"), at("item/sub"));
    auto other = open_child_dir(item, "sub", st.st_dev, st.st_ino);
    ASSERT_FALSE(other);
    EXPECT_EQ(other.error(), kFolderReplaced);
    ::close(item);
    expect_outside_untouched();
}

TEST_F(PermanentRemovalTest, CancelledRunStopsAtTheNextEntry) {
    tmp_.write_file("work/item/a", "a");
    tmp_.write_file("work/item/b/c", "c");
    const auto before = tree_listing(at("item"));
    const CancelFlag cancel = make_cancel_flag();
    const auto events = run(
        plan_of({"item"}),
        [&](const CleanupEvent& event) {
            const auto* progress = std::get_if<Progress>(&event);
            if (progress && progress->progress.stage == kStageRemoving) cancel->store(true);
        },
        cancel);
    const CleanupItemResult result = only_result(events);
    EXPECT_EQ(result.status, CleanupStatus::Cancelled);
    EXPECT_EQ(result.error, "Cleanup cancelled");
    EXPECT_EQ(tree_listing(at("item")), before);
    // Nothing went, so nothing is counted and nothing is partial.
    EXPECT_EQ(result.processed_bytes, 0u);
    EXPECT_FALSE(result.error_code);
    const auto summary = events_of<Summary>(events);
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_TRUE(summary[0].summary.cancelled);
    EXPECT_EQ(summary[0].summary.cancelled_items, 1u);
}

// The walk itself, with a clock that makes every entry's report due.
class RemovalWalkTest : public PermanentRemovalTest {
  protected:
    struct Walk {
        std::expected<void, std::string> outcome;
        std::vector<CleanupEvent> events;
    };
    template <class During>
    Walk remove(const std::string& relative, During during, std::uint64_t bytes_done = 0) {
        const CleanupPlan plan = plan_of({relative});
        auto items = validate_cleanup_plan(plan, make_cancel_flag());
        if (!items) {
            ADD_FAILURE() << items.error();
            return {};
        }
        const policy::SafetyPolicy safety = policy::build_policy(plan.context, plan.scan_root);
        const RemovalRules rules{&safety, plan.acknowledged, HiddenEntries::Allowed, moment_};
        Walk walk;
        Instant now{};
        ProgressReporter reporter(
            plan, walk_cancel_,
            [&](CleanupEvent event) {
                during(event);
                walk.events.push_back(std::move(event));
            },
            [&] { return now += 100ms; });
        reporter.progress.bytes_done = bytes_done;
        const AuthorizedItem& item = items->front();
        walk.outcome = remove_permanently(item.canonical_path, item.identity, item.item_id, rules,
                                          reporter, removed_);
        bytes_done_ = reporter.progress.bytes_done;
        return walk;
    }
    std::uint64_t bytes_done_ = 0;
    ItemBytes removed_;
    CancelFlag walk_cancel_ = make_cancel_flag();
    std::optional<platform::ChangeTime> moment_;  // the walk's rules keep what changed after
};

// The names below `folder` in the order a walk first reaches them (each folder's names as
// the folder lists them, a folder's contents right after it), relative to `folder`.
std::vector<std::string> walk_order(const std::string& folder, const std::string& prefix = "") {
    const platform::Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    auto names = list_directory(fd.get());
    std::vector<std::string> order;
    if (!names) return order;
    for (std::size_t i = 0; i < names->size(); ++i) {
        const std::string name = prefix + std::string((*names)[i]);
        order.push_back(name);
        const std::string path = folder + "/" + std::string((*names)[i]);
        if (fs::is_directory(fs::symlink_status(path))) {
            for (std::string inner : walk_order(path, name + "/"))
                order.push_back(std::move(inner));
        }
    }
    return order;
}

platform::ChangeTime change_time(const std::string& path) {
    return platform::change_time_of(
        platform::status_of_path(path, platform::FollowFinalLink::no).value());
}

platform::ChangeTime just_before(platform::ChangeTime t) {
    if (t.nanoseconds > 0) return {t.seconds, t.nanoseconds - 1};
    return {t.seconds - 1, 999'999'999};
}

TEST_F(RemovalWalkTest, TheItemIsConfirmedEvery1024Entries) {
    for (int i = 0; i < 2048; ++i) tmp_.write_file("work/item/f" + std::to_string(i));
    bool replaced = false;
    const Walk walk = remove("item", [&](const CleanupEvent& event) {
        const auto* progress = std::get_if<Progress>(&event);
        if (replaced || !progress || progress->progress.detail == at("item")) return;
        replaced = true;  // after the first entry: the item's name now leads elsewhere
        fs::rename(at("item"), at("item-away"));
        tmp_.make_dir("work/item");
    });
    ASSERT_FALSE(walk.outcome);
    EXPECT_EQ(walk.outcome.error(), kDirectoryReplaced);
    // Entries 1 to 1023 went; the 1,024th stopped the walk.
    EXPECT_EQ(std::distance(fs::directory_iterator(at("item-away")), fs::directory_iterator()),
              2048 - 1023);
    EXPECT_TRUE(fs::is_empty(at("item")));
    // Every entry reported, each with the item's id and its own path.
    const auto progress = events_of<Progress>(walk.events);
    ASSERT_GE(progress.size(), 1023u);
    EXPECT_EQ(progress.front().progress.detail, at("item"));
    EXPECT_EQ(progress.back().progress.item_id, "item-0");
    EXPECT_EQ(progress.back().progress.stage, kStageRemoving);
}

TEST_F(RemovalWalkTest, AWalkStoppedPartWayCountsWhatWentBeforeTheStop) {
    for (int i = 0; i < 150; ++i) tmp_.write_file("work/item/f" + std::to_string(i), "data");
    for (int i = 0; i < 150; ++i) tmp_.write_file("work/item/sub/g" + std::to_string(i), "more");
    const std::uint64_t before = disk_bytes(at("item"));
    // Every entry reports; the run is stopped from the sink after 100 of them.
    int reports = 0;
    const Walk walk = remove("item", [&](const CleanupEvent& event) {
        const auto* p = std::get_if<Progress>(&event);
        if (p && p->progress.detail != at("item") && ++reports == 100) {
            walk_cancel_->store(true);
        }
    });
    ASSERT_FALSE(walk.outcome);
    EXPECT_EQ(walk.outcome.error(), kCleanupCancelled);
    EXPECT_EQ(removed_.entries(), 100u);
    EXPECT_EQ(removed_.total(), before - disk_bytes(at("item")));
    EXPECT_EQ(bytes_done_, removed_.total());
}

TEST_F(RemovalWalkTest, BytesSaturateAndSpecialItemsStay) {
    tmp_.write_file("work/item/f", "0123456789");
    const Walk walk = remove(
        "item", [](const CleanupEvent&) {}, std::numeric_limits<std::uint64_t>::max() - 3);
    EXPECT_TRUE(walk.outcome) << (walk.outcome ? "" : walk.outcome.error());
    EXPECT_EQ(bytes_done_, std::numeric_limits<std::uint64_t>::max());

    ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0600), 0);
    const auto identity = filesystem::read_identity(at("pipe"));
    ASSERT_TRUE(identity);
    const CleanupPlan plan = plan_of({"pipe"});
    ProgressReporter reporter(plan, make_cancel_flag(), [](CleanupEvent) {});
    ItemBytes removed;
    const auto special =
        remove_permanently(at("pipe"), *identity, "item-0", RemovalRules{}, reporter, removed);
    ASSERT_FALSE(special);
    EXPECT_EQ(special.error(), kSpecialNeverRemoved);
    EXPECT_TRUE(exists_nofollow(at("pipe")));
}

// Given a moment (just before Git's last look at a worktree), the walk stops at the first
// entry changed after it, file, link or folder, early or late in the walk: that entry and
// everything after it stay. An entry changed in the moment itself, and a further link of a
// file whose first link the walk removed (which moves its change time), do not stop it.
TEST_F(RemovalWalkTest, AnEntryChangedAfterTheMomentStopsTheWalkThere) {
    enum class Which { First, Link, Folder, Last };
    int round = 0;
    for (const Which which : {Which::First, Which::Link, Which::Folder, Which::Last}) {
        for (const bool after : {false, true}) {
            const std::string item = "item" + std::to_string(round++);
            for (int i = 0; i < 6; ++i) tmp_.write_file("work/" + item + "/f" + std::to_string(i));
            for (int i = 0; i < 3; ++i) {
                tmp_.write_file("work/" + item + "/sub/g" + std::to_string(i));
            }
            fs::create_symlink("f0", at(item + "/ln"));
            ASSERT_EQ(::link(at(item + "/f1").c_str(), at(item + "/sub/f1-again").c_str()), 0);
            const std::vector<std::string> order = walk_order(at(item));
            ASSERT_EQ(order.size(), 12u);
            // Not one of the two links of a file: a change to one changes both.
            std::vector<std::string> single = order;
            std::erase_if(single, [](const std::string& name) {
                return name.ends_with("f1-again") || name == "f1";
            });
            const std::string changed = which == Which::First  ? single.front()
                                        : which == Which::Last ? single.back()
                                        : which == Which::Link ? "ln"
                                                               : "sub";
            const platform::ChangeTime marked = platform::mark_change_moment();
            // New times change the entry's change time, and nothing else's.
            const struct timespec times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
            ASSERT_EQ(
                ::utimensat(AT_FDCWD, at(item + "/" + changed).c_str(), times, AT_SYMLINK_NOFOLLOW),
                0);
            const platform::ChangeTime stamped = change_time(at(item + "/" + changed));
            ASSERT_GT(stamped, marked);
            moment_ = after ? just_before(stamped) : stamped;

            const Walk walk = remove(item, [](const CleanupEvent&) {});
            const std::string what = item + " " + changed + (after ? " after" : " at");
            if (!after) {
                EXPECT_TRUE(walk.outcome) << what << ": " << walk.outcome.error();
                EXPECT_FALSE(exists_nofollow(at(item))) << what;
                continue;
            }
            ASSERT_FALSE(walk.outcome) << what;
            EXPECT_EQ(walk.outcome.error(), kChangedDuringCheck) << what;
            const auto stop = std::find(order.begin(), order.end(), changed);
            for (auto it = order.begin(); it != order.end(); ++it) {
                EXPECT_EQ(exists_nofollow(at(item + "/" + *it)), it >= stop) << what << ": " << *it;
            }
        }
    }
}

// Far deeper than any call stack would allow a recursive walk to go.
TEST_F(PermanentRemovalTest, AVeryDeepTreeIsRemoved) {
    make_deep("deep", 3000);
    // Too deep for a path-based count: every level takes what the top folder takes.
    struct stat top {};
    ASSERT_EQ(::lstat(at("deep").c_str(), &top), 0);
    const std::uint64_t folders = 3001 * static_cast<std::uint64_t>(top.st_blocks) * 512;
    const CleanupItemResult result = only_result(run(plan_of({"deep"})));
    EXPECT_EQ(result.status, CleanupStatus::Removed) << result.error.value_or("");
    EXPECT_GE(result.processed_bytes, folders);
    EXPECT_FALSE(exists_nofollow(at("deep")));
}

// Deeper than the descriptors allowed: both walks end with the system's text, and the
// removal walk leaves what it did not reach.
TEST_F(PermanentRemovalTest, ATreeDeeperThanTheDescriptorLimitFailsWithTheSystemText) {
    make_outside();
    make_deep("deep", 200);
    const int code = testing::run_in_child([&]() -> int {
        const auto lower = [] {
            struct rlimit limit {};
            if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
            limit.rlim_cur = 64;
            return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
        };
        if (!lower()) return 2;
        const auto refused = events_of<Failed>(run(plan_of({"deep"})));
        if (refused.size() != 1) return 3;
        if (refused[0].message.find("Too many open files") == std::string::npos) return 4;
        struct rlimit limit {};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        const auto events = run(plan_of({"deep"}), [&](const CleanupEvent& event) {
            if (std::holds_alternative<PlanStarted>(event)) lower();
        });
        const auto finished = events_of<ItemFinished>(events);
        if (finished.size() != 1 || !finished[0].result.error) return 5;
        if (finished[0].result.error->find("Too many open files") == std::string::npos) return 6;
        return 0;
    });
    EXPECT_EQ(code, 0);
    expect_outside_untouched();
    std::string bottom = "deep";
    for (int i = 0; i < 200; ++i) bottom += "/d";
    EXPECT_EQ(read_text(at(bottom + "/bottom")), "xyz");
    EXPECT_EQ(only_result(run(plan_of({"deep"}))).status, CleanupStatus::Removed);
}

}  // namespace
}  // namespace bramvelt::cleanup
