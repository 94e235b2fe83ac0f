// Edits in a linked worktree that Git's status looks past (a tracked file marked
// skip-worktree or assume-unchanged) keep the worktree through `dev` and `clean`, also when
// the flag is set while the status runs; a sparse worktree, whose flagged files are
// absent, and a plain one are removed.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/account_home.hpp"
#include "support/fixture_git.hpp"
#include "support/run_process.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::testing {
namespace {

namespace fs = std::filesystem;

class HiddenEdits : public ::testing::Test {
  protected:
    TempDir tmp;
    std::string ws = tmp.make_dir("ws");
    std::string repo = tmp.make_dir("ws/repo");

    // A folder put first on PATH, when set.
    std::string bin_first;

    std::vector<std::string> environment() const {
        const char* path = std::getenv("PATH");
        return {"HOME=" + account_home(),
                "XDG_DATA_HOME=" + (tmp / "data"),
                "PATH=" + (bin_first.empty() ? "" : bin_first + ":") +
                    std::string(path ? path : "/usr/bin:/bin"),
                "GIT_CONFIG_NOSYSTEM=1",
                "GIT_CONFIG_GLOBAL=/dev/null",
                "LC_ALL=C"};
    }

    void git(const std::string& dir, const std::vector<std::string>& args) const {
        fixture_git(dir, args, environment());
    }

    ProcessResult run(std::vector<std::string> args) const {
        RunOptions options;
        options.environment = environment();
        options.cwd = tmp.path();
        return run_bramvelt(args, options);
    }

    // A worktree on a branch of its own at main's commit.
    std::string worktree(const std::string& name) const {
        git(repo, {"worktree", "add", "-q", "-b", name, ws + "/" + name});
        return ws + "/" + name;
    }

    void SetUp() override {
        git(repo, {"init", "-q"});
        tmp.write_file("ws/repo/settings.conf", "db=prod\n");
        tmp.write_file("ws/repo/docs/guide.txt", "guide\n");
        git(repo, {"add", "."});
        git(repo, {"commit", "-q", "-m", "init"});
        for (const char* flag : {"--skip-worktree", "--assume-unchanged"}) {
            const std::string wt = worktree(std::string("wt") + flag);
            git(wt, {"update-index", flag, "settings.conf"});
            tmp.write_file("ws/wt" + std::string(flag) + "/settings.conf", "db=local-password\n");
        }
        git(worktree("wt-sparse"), {"sparse-checkout", "set", "--cone", "src"});
        worktree("wt-plain");
    }
};

TEST_F(HiddenEdits, TheSearchKeepsThemAndTheCleanupLeavesThem) {
    const auto listed = run({"dev", "--json", ws});
    ASSERT_EQ(listed.status, 0) << listed.err;
    std::map<std::string, nlohmann::json> by_path;
    const auto doc = nlohmann::json::parse(listed.out);
    for (const auto& c : doc["candidates"]) by_path[c["path"]] = c;
    for (const char* name : {"wt--skip-worktree", "wt--assume-unchanged"}) {
        const auto& c = by_path[ws + "/" + name];
        EXPECT_EQ(c["recommendation"], "keep") << name;
        EXPECT_EQ(c["category"], "keep") << name;
        EXPECT_EQ(c["status"], "Local changes") << name;
        EXPECT_EQ(c["git"]["modified"], 1) << name;
        EXPECT_EQ(c["git"]["dirty"], true) << name;
        EXPECT_EQ(c["reasons"][0],
                  "Uncommitted changes, untracked files, or an incomplete Git status check.")
            << name;
    }
    for (const char* name : {"wt-sparse", "wt-plain"}) {
        EXPECT_EQ(by_path[ws + "/" + name]["category"], "worktree") << name;
    }

    const auto cleaned = run({"clean", "--category", "worktree", "--yes", "--delete", ws});
    EXPECT_EQ(cleaned.status, 0) << cleaned.err << cleaned.out;
    EXPECT_FALSE(fs::exists(ws + "/wt-sparse"));
    EXPECT_FALSE(fs::exists(ws + "/wt-plain"));
    for (const char* name : {"wt--skip-worktree", "wt--assume-unchanged"}) {
        const auto settings = run_process("/bin/cat", {ws + "/" + name + "/settings.conf"});
        EXPECT_EQ(settings.out, "db=local-password\n") << name;
    }
}

// The flag set and the file edited while the search's status of the worktree runs, as it
// starts or as it ends: the status cannot show the edit, but the flags, read after it, do.
TEST_F(HiddenEdits, AFlagSetWhileTheSearchsStatusRunsKeepsTheWorktree) {
    const std::string arms = tmp.make_dir("arms");
    bin_first = tmp.make_dir("bin");
    // Git first on PATH: a status in a folder armed in `arms` (by its name) sets the armed
    // flag on settings.conf and edits it, as that status starts or as it ends.
    const std::string wrapper = tmp.write_file("bin/git", "#!/bin/sh\narms='" + arms + "'\n" +
                                                              R"sh(dir=
search_status=no
previous=
for arg in "$@"; do
  [ "$previous" = -C ] && dir=$arg
  [ "$arg" = --porcelain=v1 ] && search_status=yes
  previous=$arg
done
arm="$arms/$(basename "$dir")"
act() {
  [ $search_status = yes ] && [ -f "$arm" ] || return 0
  read -r when flag < "$arm"
  [ "$when" = "$1" ] || return 0
  rm -f "$arm"
  /usr/bin/git -C "$dir" update-index "$flag" settings.conf
  echo 'db=local-password' > "$dir/settings.conf"
}
act start
/usr/bin/git "$@"
code=$?
act end
exit $code
)sh");
    fs::permissions(wrapper, fs::perms::owner_all);
    const std::vector<std::pair<std::string, std::string>> armed = {
        {"start", "--skip-worktree"},
        {"start", "--assume-unchanged"},
        {"end", "--skip-worktree"},
        {"end", "--assume-unchanged"},
    };
    std::vector<std::string> names;
    for (const auto& [when, flag] : armed) {
        names.push_back("late-" + when + flag);
        worktree(names.back());
        tmp.write_file("arms/" + names.back(), when + " " + flag + "\n");
    }

    const auto listed = run({"dev", "--json", ws});
    ASSERT_EQ(listed.status, 0) << listed.err;
    std::map<std::string, nlohmann::json> by_path;
    const auto doc = nlohmann::json::parse(listed.out);
    for (const auto& c : doc["candidates"]) by_path[c["path"]] = c;
    for (const std::string& name : names) {
        EXPECT_FALSE(fs::exists(arms + "/" + name)) << name << ": its status ran without the edit";
        const auto& c = by_path[ws + "/" + name];
        EXPECT_EQ(c["recommendation"], "keep") << name;
        EXPECT_EQ(c["git"]["modified"], 1) << name;
        EXPECT_EQ(c["git"]["dirty"], true) << name;
    }
    EXPECT_EQ(by_path[ws + "/wt-plain"]["category"], "worktree");
}

}  // namespace
}  // namespace bramvelt::testing
