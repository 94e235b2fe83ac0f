// Development cleanup runs on real projects: Cargo targets outside Git, and a repository
// with linked worktrees made by the test, cleaned through the real Trash host or deleted,
// with the worktree itself removed by the system's git.

#include "core/cleanup/development_cleanup.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <iostream>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "cleanup_fixture.hpp"
#include "core/cleanup/dev_cleanup_texts.hpp"
#include "core/cleanup/dev_recheck.hpp"
#include "core/cleanup/dev_request_check.hpp"
#include "core/cleanup/worktree_removal.hpp"
#include "core/policy/normalize.hpp"
#include "platform/os_error.hpp"
#include "platform/resource_exhaustion.hpp"
#include "removal_failure.hpp"
#include "tests/core/development/dev_fixture.hpp"
#include "worktree_fixture.hpp"

namespace bramvelt::cleanup {
namespace {

namespace fs = std::filesystem;
using development::CandidateKind;
using development::DevCandidate;
using development::Recommendation;
using testing::git;
using testing::trimmed;

class DevCleanupTest : public WorktreeTest {
  protected:
    // A Cargo project outside Git whose target folder holds `bytes` bytes.
    std::string make_target(const std::string& project, std::size_t bytes = 100) {
        tmp_.write_file("work/" + project + "/Cargo.toml", "[package]\n");
        tmp_.write_file("work/" + project + "/target/debug/out.bin", std::string(bytes, 'x'));
        return at(project + "/target");
    }

    DevCleanupItem item(const std::string& path, CandidateKind kind, std::size_t number) const {
        DevCleanupItem item;
        item.identity = filesystem::read_identity(path).value();
        item.item_id = "item-" + std::to_string(number);
        item.path = path;
        item.kind = kind;
        if (kind == CandidateKind::Worktree) item.head = trimmed(git(path, {"rev-parse", "HEAD"}));
        return item;
    }

    DevCleanupRequest request_of(std::vector<DevCleanupItem> items,
                                 CleanupAction action = CleanupAction::remove()) const {
        DevCleanupRequest request;
        request.context = context_;
        request.roots = {root_};
        request.items = std::move(items);
        request.action = std::move(action);
        return request;
    }

    // The events of one run; `during` sees each event before the sink serves it.
    std::vector<CleanupEvent> run_dev(
        const DevCleanupRequest& request,
        const std::function<void(const CleanupEvent&)>& during = [](const CleanupEvent&) {},
        const CancelFlag& cancel = make_cancel_flag()) const {
        std::vector<CleanupEvent> events;
        run_dev_cleanup(request, cancel, registry_, [&](CleanupEvent event) {
            during(event);
            serve(event);
            events.push_back(std::move(event));
        });
        return events;
    }

    std::vector<std::string> branches(const std::string& repo) const {
        std::vector<std::string> names;
        std::istringstream in(git(repo, {"branch", "--format=%(refname:short)"}));
        for (std::string line; std::getline(in, line);) names.push_back(line);
        return names;
    }
};

std::vector<std::string> request_ids(const std::vector<CleanupEvent>& events) {
    std::vector<std::string> ids;
    for (const auto& request : events_of<NativeTrashRequest>(events))
        ids.push_back(request.item_id);
    return ids;
}

TEST_F(DevCleanupTest, ACleanMergedWorktreeGoesAfterItsOutputsAndKeepsItsBranch) {
    const std::string repo = make_repo();
    const std::string wt = add_worktree(repo, "wt");
    // A filter the repository names must never run: every command that could hash the
    // worktree's files empties it.
    tmp_.write_file("work/repo/.git/info/attributes", "* filter=evil\n");
    const std::string marker = tmp_ / "filter-ran";
    git(repo, {"config", "filter.evil.clean", "touch '" + marker + "'; cat"});

    const auto events =
        run_dev(request_of({item(wt, CandidateKind::Worktree, 0)}, CleanupAction::trash()));
    ASSERT_EQ(events_of<Failed>(events).size(), 0u);
    const CleanupItemResult result = only_result(events);
    EXPECT_EQ(result.status, CleanupStatus::Removed) << result.error.value_or("");
    EXPECT_FALSE(result.error_code);
    // The outputs went to the Trash first, in path order, named by their place in it.
    EXPECT_EQ(request_ids(events),
              (std::vector<std::string>{"item-0-output-0", "item-0-output-1"}));
    EXPECT_EQ(read_text(trash_ + "/files/dist/app.js"), "bundle");
    EXPECT_EQ(read_text(trash_ + "/files/node_modules/pkg/index.js"), "module.exports = 1;\n");
    // The outputs' bytes and what remained of the worktree.
    EXPECT_GT(result.processed_bytes, 26u);

    EXPECT_FALSE(exists_nofollow(wt));
    EXPECT_EQ(git(repo, {"worktree", "list", "--porcelain"}).find(wt), std::string::npos);
    const auto names = branches(repo);
    EXPECT_NE(std::find(names.begin(), names.end(), "wt"), names.end());
    EXPECT_FALSE(exists_nofollow(marker));

    const auto progress = events_of<Progress>(events);
    EXPECT_TRUE(std::any_of(progress.begin(), progress.end(), [](const Progress& p) {
        return p.progress.stage == kStageRemovingWorktree && p.progress.item_id == "item-0";
    }));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().progress.items_done, 1u);
    EXPECT_EQ(progress.back().progress.bytes_done, result.processed_bytes);
    const CleanupSummary summary = events_of<Summary>(events).at(0).summary;
    EXPECT_EQ(summary.completed_items, 1u);
    EXPECT_EQ(summary.processed_bytes, result.processed_bytes);
    EXPECT_FALSE(summary.cancelled);
}

TEST_F(DevCleanupTest, AWorktreeRemovalIsOneProgressThenTheItemsEnd) {
    const std::string repo = make_repo();
    // Files enough for the removal to report progress as it goes; its start and its end
    // it reports whatever the clock says.
    for (int i = 0; i < 200; ++i) {
        tmp_.write_file("work/repo/src/f" + std::to_string(i) + ".txt", "source\n");
    }
    git(repo, {"add", "-A"});
    git(repo, {"commit", "-q", "-m", "sources"});
    const std::string wt = add_worktree(repo, "wt");
    const std::uint64_t whole = disk_bytes(wt) - disk_bytes(wt + "/.git");

    const auto events = run_dev(request_of({item(wt, CandidateKind::Worktree, 0)}));
    ASSERT_FALSE(exists_nofollow(wt));
    const auto is_removing_worktree = [](const CleanupEvent& e) {
        const auto* p = std::get_if<Progress>(&e);
        return p && p->progress.stage == kStageRemovingWorktree;
    };
    const auto first = std::find_if(events.begin(), events.end(), is_removing_worktree);
    ASSERT_NE(first, events.end());
    // Its outputs' own progress came before it.
    EXPECT_TRUE(std::any_of(events.begin(), first, [](const CleanupEvent& e) {
        const auto* p = std::get_if<Progress>(&e);
        return p && p->progress.stage == kStageRemoving;
    }));
    // After it: the item's end, the Progress counting it, the Summary; nothing else.
    const std::size_t at = static_cast<std::size_t>(first - events.begin());
    ASSERT_EQ(events.size(), at + 4);
    const auto& announced = std::get<Progress>(events[at]).progress;
    EXPECT_EQ(announced.item_id, "item-0");
    EXPECT_EQ(announced.items_done, 0u);
    const auto* finished = std::get_if<ItemFinished>(&events[at + 1]);
    ASSERT_NE(finished, nullptr);
    EXPECT_EQ(finished->result.status, CleanupStatus::Removed)
        << finished->result.error.value_or("");
    // The removal's bytes count although its progress was not shown.
    EXPECT_EQ(finished->result.processed_bytes, whole);
    const auto* counted = std::get_if<Progress>(&events[at + 2]);
    ASSERT_NE(counted, nullptr);
    EXPECT_EQ(counted->progress.stage, kStageRemovingWorktree);
    EXPECT_EQ(counted->progress.items_done, 1u);
    EXPECT_EQ(counted->progress.bytes_done, whole);
    EXPECT_TRUE(std::holds_alternative<Summary>(events[at + 3]));
}

TEST_F(DevCleanupTest, AFileMadeAfterTheRecheckKeepsTheWorktreeWhateverStatusIsSetToShow) {
    const std::string repo = make_repo();
    git(repo, {"config", "status.showUntrackedFiles", "no"});
    const std::string wt = add_worktree(repo, "wt");
    // A tracked folder: a file made in it leaves the worktree folder's own identity as it was.
    tmp_.write_file("work/wt/docs/guide.txt", "guide\n");
    git(wt, {"add", "docs/guide.txt"});
    git(wt, {"commit", "-q", "-m", "docs"});
    git(repo, {"branch", "-f", "wt-merged", "wt"});
    const std::string notes = wt + "/docs/notes.txt";
    const std::string armed = tmp_ / "armed";
    // Git first on PATH: once armed, the file appears as the re-check's status ends.
    const std::string bin = tmp_.make_dir("bin");
    const std::string wrapper =
        tmp_.write_file("bin/git", "#!/bin/sh\narmed='" + armed + "'\nnotes='" + notes + "'\n" +
                                       R"(/usr/bin/git "$@"
code=$?
for arg in "$@"; do
  if [ "$arg" = --porcelain=v1 ] && [ -e "$armed" ] && [ ! -e "$notes" ]; then
    echo mine > "$notes"
  fi
done
exit $code
)");
    fs::permissions(wrapper, fs::perms::owner_all);
    const testing::ScopedEnv path("PATH", (bin + ":/usr/bin:/bin").c_str());

    // Armed as the outputs go, between the item's first re-check and its last.
    const auto events =
        run_dev(request_of({item(wt, CandidateKind::Worktree, 0)}), [&](const CleanupEvent& e) {
            const auto* p = std::get_if<Progress>(&e);
            if (p && p->progress.stage == kStageRemoving) tmp_.write_file("armed", "");
        });
    const CleanupItemResult result = only_result(events);
    EXPECT_EQ(result.status, CleanupStatus::Failed);
    EXPECT_EQ(result.error, kWorktreeRemovalUnconfirmed);
    EXPECT_EQ(result.error_code, kCodeDevelopmentPartial);  // its outputs went
    EXPECT_EQ(read_text(notes), "mine\n");
    EXPECT_FALSE(exists_nofollow(wt + "/dist"));
    EXPECT_EQ(read_text(wt + "/docs/guide.txt"), "guide\n");
    EXPECT_NE(git(repo, {"worktree", "list", "--porcelain"}).find(wt), std::string::npos);
}

// A tracked file marked skip-worktree or assume-unchanged holds edits no status shows:
// the worktree stays whole, whether the flag was there at the re-check or was set as the
// last re-check's status ended (the flags are read after the status). A sparse worktree,
// whose flagged files are absent, goes.
TEST_F(DevCleanupTest, EditsTheStatusLooksPastKeepTheWorktree) {
    const std::string repo = make_repo();
    tmp_.write_file("work/repo/settings.conf", "db=prod\n");
    tmp_.write_file("work/repo/docs/guide.txt", "guide\n");
    git(repo, {"add", "settings.conf", "docs/guide.txt"});
    git(repo, {"commit", "-q", "-m", "settings"});
    const std::string armed = tmp_ / "armed";
    // Git first on PATH: once armed, the flag is set and the file edited as the re-check's
    // status ends.
    const std::string bin = tmp_.make_dir("bin");
    const std::string wrapper = tmp_.write_file("bin/git", "#!/bin/sh\narmed='" + armed + "'\n" +
                                                               R"(/usr/bin/git "$@"
code=$?
for arg in "$@"; do
  if [ "$arg" = --porcelain=v1 ] && [ -f "$armed" ]; then
    read -r worktree flag < "$armed" && rm -f "$armed"
    /usr/bin/git -C "$worktree" update-index "$flag" settings.conf
    echo 'db=local-password' > "$worktree/settings.conf"
  fi
done
exit $code
)");
    fs::permissions(wrapper, fs::perms::owner_all);
    const testing::ScopedEnv path("PATH", (bin + ":/usr/bin:/bin").c_str());

    enum class When { BeforeTheRun, AfterTheRecheck };
    struct Case {
        std::string name;
        std::string flag;  // empty: a sparse checkout
        When when;
        std::optional<std::string_view> error;
    };
    const Case cases[] = {
        {"skip", "--skip-worktree", When::BeforeTheRun, kWorktreeChanged},
        {"assume", "--assume-unchanged", When::BeforeTheRun, kWorktreeChanged},
        {"late-skip", "--skip-worktree", When::AfterTheRecheck, kWorktreeChanged},
        {"late-assume", "--assume-unchanged", When::AfterTheRecheck, kWorktreeChanged},
        {"sparse", "", When::BeforeTheRun, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::string wt = add_worktree(repo, c.name);
        const std::string settings = wt + "/settings.conf";
        if (c.flag.empty()) {
            git(wt, {"sparse-checkout", "set", "--cone", "src"});
            ASSERT_FALSE(exists_nofollow(wt + "/docs"));
        } else if (c.when == When::BeforeTheRun) {
            git(wt, {"update-index", c.flag, "settings.conf"});
            tmp_.write_file("work/" + c.name + "/settings.conf", "db=local-password\n");
        }
        // Armed as the outputs go, between the item's first re-check and its last.
        bool arm = c.when == When::AfterTheRecheck;
        const auto events =
            run_dev(request_of({item(wt, CandidateKind::Worktree, 0)}), [&](const CleanupEvent& e) {
                const auto* p = std::get_if<Progress>(&e);
                if (arm && p && p->progress.stage == kStageRemoving) {
                    tmp_.write_file("armed", wt + " " + c.flag + "\n");
                    arm = false;
                }
            });
        const CleanupItemResult result = only_result(events);
        if (!c.error) {
            EXPECT_EQ(result.status, CleanupStatus::Removed)
                << c.name << ": " << result.error.value_or("");
            EXPECT_FALSE(exists_nofollow(wt)) << c.name;
            continue;
        }
        EXPECT_EQ(result.status, CleanupStatus::Failed) << c.name;
        EXPECT_EQ(result.error, *c.error) << c.name;
        EXPECT_EQ(read_text(settings), "db=local-password\n") << c.name;
        EXPECT_NE(listed_worktrees(repo).find(wt), std::string::npos) << c.name;
    }
}

// Git's last look before the folder goes is its status, then the index's flags. An edit
// made as that status starts or ends, to a tracked file at the top or in a folder, flagged
// skip-worktree or assume-unchanged as it is made or not, is never removed with the
// worktree, in Trash or delete mode: the status shows it, the flags read after it show
// it, or the edit's change time, after the moment Git began, stops the removal. With
// nothing edited the worktree goes, also when its Cargo output went just before.
TEST_F(DevCleanupTest, AnEditMadeWhileGitsLastCheckRunsKeepsTheWorktree) {
    const std::string repo = make_repo();
    tmp_.write_file("work/repo/Cargo.toml", "[package]\n");
    tmp_.write_file("work/repo/.gitignore", "node_modules/\ndist/\ntarget/\n");
    tmp_.write_file("work/repo/docs/guide.txt", "guide\n");
    git(repo, {"add", "-A"});
    git(repo, {"commit", "-q", "-m", "cargo"});
    const std::string armed = tmp_ / "armed";
    // Git first on PATH: once armed, as the last check's status starts or ends, the named
    // file of the named worktree is flagged as told ("-": not at all) and appended to.
    const std::string bin = tmp_.make_dir("bin");
    const std::string wrapper = tmp_.write_file("bin/git", "#!/bin/sh\narmed='" + armed + "'\n" +
                                                               R"(last=no
status=no
for arg in "$@"; do
  [ "$arg" = status ] && status=yes
  [ "$arg" = --porcelain ] && [ $status = yes ] && last=yes
done
act() {
  [ $last = yes ] && [ -f "$armed" ] || return 0
  read -r when worktree flag file < "$armed"
  [ "$when" = "$1" ] || return 0
  rm -f "$armed"
  [ "$flag" = - ] || /usr/bin/git -C "$worktree" update-index "$flag" "$file"
  echo 'local edit' >> "$worktree/$file"
}
act start
/usr/bin/git "$@"
code=$?
act end
exit $code
)");
    fs::permissions(wrapper, fs::perms::owner_all);
    const testing::ScopedEnv path("PATH", (bin + ":/usr/bin:/bin").c_str());

    struct Case {
        std::string when;  // "start" or "end" of the status; empty: nothing is edited
        std::string flag;
        std::string file;
        std::optional<std::string_view> error;
    };
    const Case cases[] = {
        {"start", "--skip-worktree", "README", kWorktreeRemovalUnconfirmed},
        {"start", "--assume-unchanged", "docs/guide.txt", kWorktreeRemovalUnconfirmed},
        {"start", "-", "README", kWorktreeRemovalUnconfirmed},
        {"start", "-", "docs/guide.txt", kWorktreeRemovalUnconfirmed},
        {"end", "--skip-worktree", "docs/guide.txt", kWorktreeRemovalUnconfirmed},
        {"end", "--assume-unchanged", "README", kWorktreeRemovalUnconfirmed},
        {"end", "-", "README", kChangedDuringCheck},
        {"end", "-", "docs/guide.txt", kChangedDuringCheck},
        {"", "", "", std::nullopt},
    };
    int number = 0;
    for (const Case& c : cases) {
        for (const CleanupAction& action : {CleanupAction::trash(), CleanupAction::remove()}) {
            const std::string name = "wt" + std::to_string(number++);
            const std::string wt = add_worktree(repo, name);
            const std::string what = name + " " + c.when + " " + c.flag + " " + c.file;
            if (!c.error) {
                tmp_.write_file("work/" + name + "/target/debug/app", std::string(4096, 'x'));
            } else {
                tmp_.write_file("armed", c.when + " " + wt + " " + c.flag + " " + c.file + "\n");
            }
            const CleanupItemResult result =
                only_result(run_dev(request_of({item(wt, CandidateKind::Worktree, 0)}, action)));
            if (!c.error) {
                EXPECT_EQ(result.status, CleanupStatus::Removed)
                    << what << ": " << result.error.value_or("");
                EXPECT_FALSE(exists_nofollow(wt)) << what;
                EXPECT_EQ(listed_worktrees(repo).find(wt), std::string::npos) << what;
                continue;
            }
            EXPECT_FALSE(exists_nofollow(armed)) << what << ": the check ran without the edit";
            EXPECT_EQ(result.status, CleanupStatus::Failed) << what;
            EXPECT_EQ(result.error, *c.error) << what;
            const std::string original = c.file == "README" ? "hello\n" : "guide\n";
            EXPECT_EQ(read_text(wt + "/" + c.file), original + "local edit\n") << what;
            EXPECT_EQ(read_text(wt + "/feature.txt"), name + "\n") << what;
            EXPECT_NE(listed_worktrees(repo).find(wt), std::string::npos) << what;
            fs::remove(armed);
        }
    }
}

TEST_F(DevCleanupTest, TrashedBytesAreThePartThatWentToTheTrash) {
    const std::string repo = make_repo();
    const std::string wt = add_worktree(repo, "wt");
    const std::string target = make_target("p", 300);
    const std::string gone = make_target("q", 50);
    // What the review counts: a worktree without Git's own `.git` file.
    const std::uint64_t outputs = disk_bytes(wt + "/dist") + disk_bytes(wt + "/node_modules");
    const std::uint64_t whole = disk_bytes(wt) - disk_bytes(wt + "/.git");
    const std::uint64_t target_bytes = disk_bytes(target);
    const std::uint64_t gone_bytes = disk_bytes(gone);

    // A Trash run: the target goes whole, the worktree's outputs go but its folder is
    // removed for good.
    const auto trash_run = run_dev(
        request_of({item(wt, CandidateKind::Worktree, 0), item(target, CandidateKind::Build, 1)},
                   CleanupAction::trash()));
    const auto finished = events_of<ItemFinished>(trash_run);
    ASSERT_EQ(finished.size(), 2u);
    const CleanupItemResult& worktree = finished[0].result;
    ASSERT_EQ(worktree.status, CleanupStatus::Removed) << worktree.error.value_or("");
    EXPECT_EQ(worktree.trashed_bytes, outputs);
    EXPECT_EQ(worktree.processed_bytes, whole);
    EXPECT_EQ(finished[1].result.status, CleanupStatus::Trashed);
    EXPECT_EQ(finished[1].result.trashed_bytes, target_bytes);
    EXPECT_EQ(finished[1].result.processed_bytes, target_bytes);
    const CleanupSummary summary = events_of<Summary>(trash_run).at(0).summary;
    EXPECT_EQ(summary.trashed_bytes, outputs + target_bytes);
    EXPECT_EQ(summary.processed_bytes, whole + target_bytes);

    // Nothing goes to the Trash in a permanent removal.
    const auto delete_run = run_dev(request_of({item(gone, CandidateKind::Build, 0)}));
    const CleanupItemResult deleted = only_result(delete_run);
    EXPECT_EQ(deleted.status, CleanupStatus::Removed);
    EXPECT_EQ(deleted.processed_bytes, gone_bytes);
    EXPECT_EQ(deleted.trashed_bytes, 0u);
    EXPECT_EQ(events_of<Summary>(delete_run).at(0).summary.trashed_bytes, 0u);
}

// Sets or clears the immutable attribute; false where the file system or the user
// cannot.
bool set_immutable(const std::string& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}

TEST_F(DevCleanupTest, ARemovalCutShortCountsWhatItRemovedAsPartial) {
    // Enough ahead of the entry that cannot go that some of the item goes first.
    const std::string target = make_target("p");
    for (const char* folder : {"", "/a", "/a/b"}) {
        for (int i = 0; i < 60; ++i) {
            tmp_.write_file("work/p/target" + std::string(folder) + "/f" + std::to_string(i),
                            "data");
        }
    }
    const std::string stuck = tmp_.write_file("work/p/target/a/b/stuck", "stuck");
    if (!set_immutable(stuck, true)) GTEST_SKIP() << "cannot make a file immutable here";
    const std::uint64_t before = disk_bytes(target);

    const auto events = run_dev(request_of({item(target, CandidateKind::Build, 0)}));
    EXPECT_TRUE(set_immutable(stuck, false));
    const CleanupItemResult result = only_result(events);
    EXPECT_EQ(result.status, CleanupStatus::Failed);
    EXPECT_EQ(result.error, platform::os_error_text(EPERM));
    EXPECT_EQ(result.error_code, kCodeDevelopmentPartial);
    const std::uint64_t gone = before - disk_bytes(target);
    EXPECT_GT(gone, 0u);
    EXPECT_EQ(result.processed_bytes, gone);
    const CleanupSummary summary = events_of<Summary>(events).at(0).summary;
    EXPECT_EQ(summary.processed_bytes, gone);
    EXPECT_EQ(summary.failed_items, 1u);
    EXPECT_EQ(summary.results.at(0), result);
    EXPECT_TRUE(exists_nofollow(stuck));
}

TEST_F(DevCleanupTest, ARunReportsWhatTheReviewMeasuredOfAHardLinkedTarget) {
    // As Cargo leaves it: each binary in deps/ and again, hard-linked, beside it.
    const auto make_cargo = [&](const std::string& project) {
        const std::string target = make_target(project, 300000);
        const std::string debug = target + "/debug";
        for (const char* name : {"app", "libdep.rlib", "tool"}) {
            const std::string in_deps = tmp_.write_file(
                "work/" + project + "/target/debug/deps/" + std::string(name) + "-0123abcd",
                std::string(200000, 'b'));
            EXPECT_EQ(::link(in_deps.c_str(), (debug + "/" + name).c_str()), 0);
        }
        tmp_.write_file("work/" + project + "/target/debug/.fingerprint/app/hash", "0123");
        return target;
    };
    for (const CleanupAction& action : {CleanupAction::remove(), CleanupAction::trash()}) {
        const std::string project = action.kind == CleanupAction::Kind::Trash ? "t" : "d";
        const std::string target = make_cargo(project);
        const auto reviewed = rescan_dev_folder(target, false, make_cancel_flag());
        ASSERT_TRUE(reviewed) << reviewed.error();
        ASSERT_EQ(reviewed->size(), 1u);
        const std::uint64_t review = reviewed->front().allocated_bytes;
        EXPECT_EQ(review, disk_bytes(target));  // what `du` shows

        const auto events = run_dev(request_of({item(target, CandidateKind::Build, 0)}, action));
        const CleanupItemResult result = only_result(events);
        ASSERT_NE(result.status, CleanupStatus::Failed) << result.error.value_or("");
        const std::uint64_t run = events_of<Summary>(events).at(0).summary.processed_bytes;
        std::cout << (project == "t" ? "trash" : "delete") << " run of a hard-linked target: "
                  << "review " << review << " bytes, run " << run << " bytes\n";
        EXPECT_EQ(run, review);
        EXPECT_EQ(result.processed_bytes, review);
    }
}

TEST_F(DevCleanupTest, WorktreesThatChangedAfterReviewAreKept) {
    const std::string repo = make_repo();
    std::vector<std::string> worktrees;
    std::vector<DevCleanupItem> items;
    for (const char* name : {"dirty", "locked", "moved", "unmerged"}) {
        worktrees.push_back(add_worktree(repo, name));
        items.push_back(item(worktrees.back(), CandidateKind::Worktree, items.size()));
    }
    // After review: a tracked file edited in place (its folder keeps its identity), a
    // lock, a new commit, and the branch that held its commits deleted.
    std::ofstream(at("dirty/README"), std::ios::trunc) << "edited\n";
    git(repo, {"worktree", "lock", "../locked"});
    std::ofstream(at("moved/README"), std::ios::trunc) << "moved on\n";
    git(at("moved"), {"commit", "-q", "-am", "more"});
    git(repo, {"branch", "-D", "unmerged-merged"});

    const auto events = run_dev(request_of(items));
    const auto finished = events_of<ItemFinished>(events);
    ASSERT_EQ(finished.size(), 4u);
    for (std::size_t i = 0; i < finished.size(); ++i) {
        SCOPED_TRACE(worktrees[i]);
        EXPECT_EQ(finished[i].result.status, CleanupStatus::Failed);
        EXPECT_EQ(finished[i].result.error, kWorktreeChanged);
        EXPECT_FALSE(finished[i].result.error_code);
        EXPECT_EQ(finished[i].result.processed_bytes, 0u);
        EXPECT_TRUE(exists_nofollow(worktrees[i] + "/dist/app.js"));
        EXPECT_TRUE(exists_nofollow(worktrees[i] + "/node_modules/pkg/index.js"));
    }
    const CleanupSummary summary = events_of<Summary>(events).at(0).summary;
    EXPECT_EQ(summary.failed_items, 4u);
    EXPECT_EQ(summary.results.size(), 4u);
}

TEST_F(DevCleanupTest, ArtifactsThatChangedAfterReviewAreKeptAndTheRunGoesOn) {
    const std::string unchanged = make_target("unchanged", 300);
    const std::uint64_t unchanged_bytes = disk_bytes(unchanged);
    const std::string touched = make_target("touched");
    // A target inside a repository that ignores it, which then starts tracking a file in
    // it: the folder itself is as reviewed, but Git no longer proves it is output.
    const std::string repo = make_repo();
    tmp_.write_file("work/repo/Cargo.toml", "[package]\n");
    tmp_.write_file("work/repo/.gitignore", "target/\n");
    git(repo, {"add", "-A"});
    git(repo, {"commit", "-q", "-m", "cargo"});
    tmp_.write_file("work/repo/target/keep.txt", "keep");
    const std::string tracked = at("repo/target");

    // Each changes once the run has checked the request, as its own turn begins.
    std::set<std::string> changed;
    const auto change = [&](const CleanupEvent& event) {
        const auto* p = std::get_if<Progress>(&event);
        if (!p || p->progress.stage != kStageCheckingDevelopment || !p->progress.item_id ||
            !changed.insert(*p->progress.item_id).second) {
            return;
        }
        if (p->progress.item_id == "item-1") {
            tmp_.write_file("work/touched/target/new.bin", "new");
        } else if (p->progress.item_id == "item-2") {
            git(repo, {"add", "-f", "target/keep.txt"});
        }
    };
    const auto events = run_dev(request_of({item(unchanged, CandidateKind::Build, 0),
                                            item(touched, CandidateKind::Build, 1),
                                            item(tracked, CandidateKind::Build, 2)}),
                                change);
    const auto finished = events_of<ItemFinished>(events);
    ASSERT_EQ(finished.size(), 3u);
    EXPECT_EQ(finished[0].result.status, CleanupStatus::Removed) << *finished[0].result.error;
    EXPECT_EQ(finished[0].result.processed_bytes, unchanged_bytes);
    EXPECT_FALSE(exists_nofollow(unchanged));
    EXPECT_EQ(finished[1].result.status, CleanupStatus::Failed);
    EXPECT_EQ(finished[1].result.error, kChangedAfterReview);
    EXPECT_TRUE(exists_nofollow(touched + "/debug/out.bin"));
    EXPECT_EQ(finished[2].result.status, CleanupStatus::Failed);
    EXPECT_EQ(finished[2].result.error, kNoLongerRebuildable);
    EXPECT_TRUE(exists_nofollow(tracked + "/keep.txt"));

    const CleanupSummary summary = events_of<Summary>(events).at(0).summary;
    EXPECT_EQ(summary.completed_items, 1u);
    EXPECT_EQ(summary.failed_items, 2u);
    EXPECT_EQ(summary.processed_bytes, unchanged_bytes);
    const auto started = events_of<PlanStarted>(events);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].items, 3u);
    EXPECT_EQ(started[0].work_bytes, 0u);
}

TEST_F(DevCleanupTest, CancelledAfterTheFirstItemStopsTheRest) {
    std::vector<DevCleanupItem> items;
    for (const char* name : {"a", "b", "c"}) {
        items.push_back(item(make_target(name), CandidateKind::Build, items.size()));
    }
    const CancelFlag cancel = make_cancel_flag();
    const auto events = run_dev(
        request_of(items),
        [&](const CleanupEvent& event) {
            if (std::holds_alternative<ItemFinished>(event)) cancel->store(true);
        },
        cancel);
    const auto finished = events_of<ItemFinished>(events);
    ASSERT_EQ(finished.size(), 3u);
    EXPECT_EQ(finished[0].result.status, CleanupStatus::Removed);
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(finished[i].result.status, CleanupStatus::Cancelled);
        EXPECT_EQ(finished[i].result.error, kCleanupStopped);
        EXPECT_TRUE(exists_nofollow(items[i].path));
    }
    const CleanupSummary summary = events_of<Summary>(events).at(0).summary;
    EXPECT_EQ(summary.cancelled_items, 2u);
    EXPECT_TRUE(summary.cancelled);
}

// Memory runs out while the second of three items is under way: in its removal once two
// of its files went, in the sink as its removal begins, or as the Trash host's threads
// start for it. The first item stays cleaned; the second fails with the text (partial,
// with the bytes that went, when something did); the run stops itself, so the third is
// stopped and untouched.
TEST_F(DevCleanupTest, OutOfMemoryFailsTheItemUnderWayAndStopsTheRest) {
    enum class Where { Removal, Sink, TrashThread };
    struct Case {
        const char* name;
        Where where;
        CleanupAction action;
        CleanupStatus first;
        std::string_view text;
    };
    const Case cases[] = {
        {"removal", Where::Removal, CleanupAction::remove(), CleanupStatus::Removed,
         platform::kOutOfMemory},
        {"sink", Where::Sink, CleanupAction::remove(), CleanupStatus::Removed,
         platform::kOutOfMemory},
        {"trash", Where::TrashThread, CleanupAction::trash(), CleanupStatus::Trashed,
         platform::kOutOfThreadResources},
    };
    for (const Case& c : cases) {
        std::vector<DevCleanupItem> items;
        for (const std::string name : {"a", "b", "c"}) {
            const std::string project = name + "-" + c.name;
            const std::string target = make_target(project);
            for (int i = 0; i < 4; ++i) {
                tmp_.write_file("work/" + project + "/target/debug/f" + std::to_string(i), "data");
            }
            items.push_back(item(target, CandidateKind::Build, items.size()));
        }
        const std::uint64_t second_before = disk_bytes(items[1].path);
        const auto third_before = tree_listing(items[2].path);
        std::optional<testing::RemovalRunsOutOfMemory> failing;
        if (c.where == Where::Removal) failing.emplace(items[1].path, 2);
        int host_starts = 0;
        if (c.where == Where::TrashThread) {
            host_.hooks.between_threads = [&host_starts] {
                if (++host_starts == 2) {
                    throw std::system_error(
                        std::make_error_code(std::errc::resource_unavailable_try_again));
                }
            };
        }
        const CancelFlag cancel = make_cancel_flag();
        const auto events = run_dev(
            request_of(items, c.action),
            [&](const CleanupEvent& event) {
                const auto* progress = std::get_if<Progress>(&event);
                if (c.where == Where::Sink && progress != nullptr &&
                    progress->progress.stage == kStageRemoving &&
                    progress->progress.item_id == "item-1") {
                    throw std::bad_alloc();
                }
            },
            cancel);
        failing.reset();
        host_.hooks.between_threads = nullptr;

        const auto finished = events_of<ItemFinished>(events);
        ASSERT_EQ(finished.size(), 3u) << c.name;
        EXPECT_EQ(finished[0].result.status, c.first) << c.name;
        EXPECT_FALSE(exists_nofollow(items[0].path)) << c.name;

        const CleanupItemResult& second = finished[1].result;
        EXPECT_EQ(second.status, CleanupStatus::Failed) << c.name;
        EXPECT_EQ(second.error, c.text) << c.name;
        const std::uint64_t gone = second_before - disk_bytes(items[1].path);
        EXPECT_EQ(second.processed_bytes, gone) << c.name;
        if (c.where == Where::Removal) {
            EXPECT_GT(gone, 0u);
            EXPECT_EQ(second.error_code, kCodeDevelopmentPartial);
            EXPECT_TRUE(exists_nofollow(items[1].path));
        } else {
            EXPECT_EQ(gone, 0u) << c.name;
            EXPECT_FALSE(second.error_code) << c.name;
        }

        EXPECT_EQ(finished[2].result.status, CleanupStatus::Cancelled) << c.name;
        EXPECT_EQ(finished[2].result.error, kCleanupStopped) << c.name;
        EXPECT_EQ(tree_listing(items[2].path), third_before) << c.name;

        EXPECT_TRUE(is_cancelled(cancel)) << c.name;
        ASSERT_TRUE(std::holds_alternative<Summary>(events.back())) << c.name;
        const CleanupSummary summary = std::get<Summary>(events.back()).summary;
        EXPECT_EQ(summary.completed_items, 1u) << c.name;
        EXPECT_EQ(summary.failed_items, 1u) << c.name;
        EXPECT_EQ(summary.cancelled_items, 1u) << c.name;
        EXPECT_TRUE(summary.cancelled) << c.name;
        EXPECT_EQ(summary.processed_bytes,
                  finished[0].result.processed_bytes + second.processed_bytes)
            << c.name;
    }
}

// The sink runs out of memory as the run begins: one Failed with the text, nothing
// touched, and the run's flag set so a caller starts no further batch.
TEST_F(DevCleanupTest, OutOfMemoryBeforeTheFirstItemRefusesTheRun) {
    const std::string target = make_target("p");
    const auto before = tree_listing(target);
    const CancelFlag cancel = make_cancel_flag();
    const auto events = run_dev(
        request_of({item(target, CandidateKind::Build, 0)}),
        [](const CleanupEvent& event) {
            if (std::holds_alternative<PlanStarted>(event)) throw std::bad_alloc();
        },
        cancel);
    ASSERT_EQ(events.size(), 1u);
    const auto* failed = std::get_if<Failed>(&events[0]);
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->code, kCodeDevelopmentPreflight);
    EXPECT_EQ(failed->message, platform::kOutOfMemory);
    EXPECT_EQ(tree_listing(target), before);
    EXPECT_TRUE(is_cancelled(cancel));
}

TEST_F(DevCleanupTest, ARefusedRequestIsOneFailedEventAndTouchesNothing) {
    const std::string a = make_target("a");
    const std::string b = make_target("b");
    const DevCleanupItem good = item(a, CandidateKind::Build, 0);
    ASSERT_EQ(::symlink(at("b").c_str(), at("link").c_str()), 0);
    const std::string outside = tmp_.write_file("elsewhere/target/f", "x");

    struct Case {
        const char* name;
        std::function<void(DevCleanupRequest&)> change;
        std::string text;
    };
    const auto with_item = [&](DevCleanupItem extra) {
        return [&, extra](DevCleanupRequest& r) { r.items.push_back(extra); };
    };
    DevCleanupItem long_id = item(b, CandidateKind::Build, 1);
    long_id.item_id = std::string(129, 'x');
    DevCleanupItem same_id = item(b, CandidateKind::Build, 0);
    DevCleanupItem through_link = item(b, CandidateKind::Build, 1);
    through_link.path = at("link/target");
    DevCleanupItem out_of_roots = item(at("../elsewhere/target"), CandidateKind::Build, 1);
    DevCleanupItem inside = item(a + "/debug", CandidateKind::Build, 1);
    DevCleanupItem changed = item(b, CandidateKind::Build, 1);
    changed.identity.links += 1;
    DevCleanupItem missing = item(b, CandidateKind::Build, 1);
    missing.path = at("missing/target");

    const Case cases[] = {
        {"no items", [](DevCleanupRequest& r) { r.items.clear(); }, std::string(kChooseDevItems)},
        {"257 items",
         [&](DevCleanupRequest& r) {
             for (std::size_t i = 1; i < 257; ++i) r.items.push_back(good);
         },
         std::string(kChooseDevItems)},
        {"no roots", [](DevCleanupRequest& r) { r.roots.clear(); }, std::string(kChooseDevItems)},
        {"33 roots", [&](DevCleanupRequest& r) { r.roots.assign(33, root_); },
         std::string(kChooseDevItems)},
        {"overwrite", [](DevCleanupRequest& r) { r.action = CleanupAction::overwrite(); },
         std::string(kDevActionUnsupported)},
        {"id too long", with_item(long_id), std::string(kDevItemIds)},
        {"id twice", with_item(same_id), std::string(kDevItemIds)},
        {"a link on the way", with_item(through_link), std::string(kDevItemMoved)},
        {"outside the roots", with_item(out_of_roots), std::string(kDevItemMoved)},
        {"inside another item", with_item(inside), std::string(kDevItemsOverlap)},
        {"identity changed", with_item(changed), std::string(kDevItemChangedBeforeRun)},
        {"missing", with_item(missing), std::string(policy::kMissingOrInaccessible)},
        {"relative root", [](DevCleanupRequest& r) { r.roots = {"work"}; },
         std::string(policy::kAbsolutePathRequired)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DevCleanupRequest request = request_of({good});
        c.change(request);
        const auto events = run_dev(request);
        ASSERT_EQ(events.size(), 1u);
        const auto* failed = std::get_if<Failed>(&events[0]);
        ASSERT_NE(failed, nullptr);
        EXPECT_EQ(failed->code, kCodeDevelopmentPreflight);
        EXPECT_EQ(failed->message, c.text);
        EXPECT_TRUE(exists_nofollow(a + "/debug/out.bin"));
        EXPECT_TRUE(exists_nofollow(b + "/debug/out.bin"));
        EXPECT_TRUE(exists_nofollow(outside));
    }
    // 256 items and 32 roots are within bounds.
    DevCleanupRequest full = request_of({good});
    full.roots.assign(32, root_);
    auto canonical = check_dev_cleanup_request(full);
    ASSERT_TRUE(canonical) << canonical.error();
    EXPECT_EQ(*canonical, std::vector<std::string>{a});
}

TEST_F(DevCleanupTest, AnOutputThatChangesMidwayLeavesThePartialWorktree) {
    const std::string repo = make_repo();
    const std::string wt = add_worktree(repo, "wt");
    const std::uint64_t dist_bytes = disk_bytes(wt + "/dist");
    // While the first output (dist) goes, the second becomes partly tracked.
    bool changed = false;
    const auto events =
        run_dev(request_of({item(wt, CandidateKind::Worktree, 0)}), [&](const CleanupEvent& event) {
            const auto* p = std::get_if<Progress>(&event);
            if (!changed && p && p->progress.detail == wt + "/dist") {
                git(wt, {"add", "-f", "node_modules/pkg/index.js"});
                changed = true;
            }
        });
    ASSERT_TRUE(changed);
    const CleanupItemResult result = only_result(events);
    EXPECT_EQ(result.status, CleanupStatus::Failed);
    EXPECT_EQ(result.error, kOutputChangedScanAgain);
    EXPECT_EQ(result.error_code, kCodeDevelopmentPartial);
    EXPECT_EQ(result.processed_bytes, dist_bytes);
    EXPECT_FALSE(exists_nofollow(wt + "/dist"));
    EXPECT_TRUE(exists_nofollow(wt + "/node_modules/pkg/index.js"));
    EXPECT_NE(git(repo, {"worktree", "list", "--porcelain"}).find(wt), std::string::npos);
}

TEST_F(DevCleanupTest, AnUnknownTrashOutcomeFailsItsItemWithItsCodeAndStopsTheRun) {
    const std::string repo = make_repo();
    const std::string wt = add_worktree(repo, "wt");
    const std::uint64_t dist_bytes = disk_bytes(wt + "/dist");
    const std::string target = make_target("after");
    const std::string away = tmp_.make_dir("away");
    // The worktree's second output (node_modules) goes to a host that moves it and fails.
    const std::string fake =
        tmp_.write_file("hosts/moves-and-fails", "#!/bin/sh\ncat >/dev/null\nmv '" + wt +
                                                     "/node_modules' '" + away + "'\nexit 1\n");
    fs::permissions(fake, fs::perms::owner_all);
    host_trash::TrashHostSettings fake_host;
    fake_host.program = fake;

    const CancelFlag cancel = make_cancel_flag();
    std::vector<CleanupEvent> events;
    run_dev_cleanup(
        request_of({item(wt, CandidateKind::Worktree, 0), item(target, CandidateKind::Build, 1)},
                   CleanupAction::trash()),
        cancel, registry_, [&](CleanupEvent event) {
            if (const auto* r = std::get_if<NativeTrashRequest>(&event)) {
                host_trash::serve_native_trash_request(
                    *registry_, r->item_id, r->token,
                    r->item_id == "item-0-output-1" ? fake_host : host_);
            }
            events.push_back(std::move(event));
        });

    const auto finished = events_of<ItemFinished>(events);
    ASSERT_EQ(finished.size(), 2u);
    // Failed, not Cancelled, although the step cancelled the run; its own code rather
    // than the partial one, although dist went first.
    EXPECT_EQ(finished[0].result.status, CleanupStatus::Failed);
    EXPECT_EQ(finished[0].result.error, kNativeTrashUnknown);
    EXPECT_EQ(finished[0].result.error_code, kCodeNativeTrashIndeterminate);
    EXPECT_EQ(finished[0].result.processed_bytes, dist_bytes);
    EXPECT_TRUE(exists_nofollow(wt + "/README"));
    EXPECT_EQ(finished[1].result.status, CleanupStatus::Cancelled);
    EXPECT_EQ(finished[1].result.error, kCleanupStopped);
    EXPECT_TRUE(exists_nofollow(target));
    const CleanupSummary summary = events_of<Summary>(events).at(0).summary;
    EXPECT_EQ(summary.failed_items, 1u);
    EXPECT_EQ(summary.cancelled_items, 1u);
    EXPECT_TRUE(summary.cancelled);
}

DevCandidate candidate(std::string path,
                       Recommendation recommendation = Recommendation::Regenerable,
                       bool with_git = false) {
    DevCandidate c;
    c.path = std::move(path);
    c.recommendation = recommendation;
    if (with_git) c.git = development::GitDetail{};
    return c;
}

TEST(WorktreeOutputs, OnlyRegenerableOutputInsideTheWorktree) {
    const std::vector<DevCandidate> found{
        candidate("/w/dist"),
        candidate("/w", Recommendation::ReviewRemoval, true),  // the worktree itself
        candidate("/w/nested", Recommendation::Regenerable, true),
        candidate("/w/node_modules", Recommendation::Review),
        candidate("/wx/dist"),
        candidate("/other/target"),
        candidate("/w/sub/target"),
    };
    std::vector<std::string> kept;
    for (const auto& c : retain_worktree_outputs(found, "/w/")) kept.push_back(c.path);
    EXPECT_EQ(kept, (std::vector<std::string>{"/w/dist", "/w/sub/target"}));
}

TEST(WorktreeOutputs, AnOutputInsideAnyCleanedOneIsSkippedButKeepsItsNumber) {
    // "a-x" sorts between "a" and "a/b": "a/b" lies inside "a", not inside the output
    // cleaned just before it.
    std::vector<DevCandidate> outputs{candidate("/w/c"), candidate("/w/a/b"), candidate("/w/a-x"),
                                      candidate("/w/a")};
    std::vector<std::pair<std::size_t, std::string>> taken;
    for (const WorktreeOutput& o : worktree_outputs_to_clean(outputs)) {
        taken.emplace_back(o.position, o.candidate->path);
    }
    EXPECT_EQ(taken, (std::vector<std::pair<std::size_t, std::string>>{
                         {0, "/w/a"}, {1, "/w/a-x"}, {3, "/w/c"}}));
}

TEST_F(DevCleanupTest, RescanRefusesWhatIsNoLongerASearchableArtifact) {
    const std::string target = make_target("p");
    tmp_.make_dir("work/plain");
    ASSERT_EQ(::symlink(at("p").c_str(), at("alias").c_str()), 0);
    const CancelFlag cancelled = make_cancel_flag();
    cancelled->store(true);
    struct Case {
        std::string folder;
        CancelFlag cancel;
        std::string_view text;
    };
    const Case cases[] = {
        {at("alias/target"), make_cancel_flag(), kFolderChangedOrAlias},
        {target + "/debug/out.bin", make_cancel_flag(), kFolderChangedOrAlias},
        {at("missing"), make_cancel_flag(), kFolderChangedOrAlias},
        {at("plain"), make_cancel_flag(), kNoLongerRecognized},
        {target, cancelled, kRecheckLimit},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        const auto found = rescan_dev_folder(c.folder, false, c.cancel);
        ASSERT_FALSE(found);
        EXPECT_EQ(found.error(), c.text);
    }
    const auto found = rescan_dev_folder(target, false, make_cancel_flag());
    ASSERT_TRUE(found) << found.error();
    ASSERT_EQ(found->size(), 1u);
    EXPECT_EQ(found->front().path, target);
    EXPECT_EQ(found->front().recommendation, Recommendation::Regenerable);
    EXPECT_EQ(found->front().tool, "Cargo");
}

TEST_F(DevCleanupTest, AnOutputsIdentityIsReadWithNoLinkOnTheWay) {
    tmp_.write_file("work/wt/dist/app.js", "x");
    ASSERT_EQ(::symlink(at("wt").c_str(), at("alias").c_str()), 0);
    const auto real = read_output_identity(at("wt/dist"));
    ASSERT_TRUE(real) << real.error();
    EXPECT_EQ(*real, filesystem::read_identity(at("wt/dist")).value());
    const auto through_link = read_output_identity(at("alias/dist"));
    ASSERT_FALSE(through_link);
    EXPECT_EQ(through_link.error(), kFolderChangedOrAlias);
    const auto missing = read_output_identity(at("wt/missing"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), platform::os_error_text(ENOENT));
}

}  // namespace
}  // namespace bramvelt::cleanup
