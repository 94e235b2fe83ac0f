// Runs `bramvelt clean` on real workspaces. HOME is the account's own home, as the
// cleanup service expects, so the workspaces live in a temporary folder elsewhere (as
// root that home is itself protected); XDG_DATA_HOME points into the test's folder, so a
// move to the Trash lands there. Tests that remove anything need the development cleanup run;
// while the program still carries its placeholder run they are skipped.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/account_home.hpp"
#include "support/fixture_git.hpp"
#include "support/lines.hpp"
#include "support/run_process.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::testing {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> environment(const TempDir& tmp, const std::string& path_prefix = "") {
    const char* path = std::getenv("PATH");
    return {"HOME=" + account_home(),
            "XDG_DATA_HOME=" + (tmp / "data"),
            "PATH=" + path_prefix + (path ? path : "/usr/bin:/bin"),
            "GIT_CONFIG_NOSYSTEM=1",
            "GIT_CONFIG_GLOBAL=/dev/null",
            "LC_ALL=C"};
}

ProcessResult clean(const TempDir& tmp, std::vector<std::string> args,
                    const std::string& path_prefix = "") {
    args.insert(args.begin(), "clean");
    RunOptions options;
    options.environment = environment(tmp, path_prefix);
    options.cwd = tmp.path();
    return run_bramvelt(args, options);
}

// Whether this build carries the development cleanup run, asked once of a throwaway
// Cargo project; the placeholder refuses every request with "not available in this
// build".
std::optional<std::string> missing_cleanup_run() {
    static const std::optional<std::string> missing = []() -> std::optional<std::string> {
        TempDir tmp;
        tmp.write_file("probe/Cargo.toml", "[package]\nname = \"probe\"\n");
        tmp.write_file("probe/target/debug/probe", "x");
        const auto r = clean(tmp, {"--yes", "--delete", tmp / "probe"});
        if (r.err.find("not available in this build") != std::string::npos) {
            return "the development cleanup run is not in this build yet: " + r.err;
        }
        return std::nullopt;
    }();
    return missing;
}

#define SKIP_WITHOUT_CLEANUP_RUN()                                  \
    do {                                                            \
        if (auto why = missing_cleanup_run()) GTEST_SKIP() << *why; \
    } while (false)

// Every entry below `root` with its kind, size, modification time and inode.
std::string listing(const std::string& root) {
    const auto r = run_process("/usr/bin/find", {root, "-printf", "%p %y %s %T@ %i\n"});
    auto lines = lines_of(r.out);
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& line : lines) out += line + "\n";
    return out;
}

class CleanWorkspace : public ::testing::Test {
  protected:
    TempDir tmp;
    std::string ws = tmp.make_dir("ws");
    std::string trash = tmp / "data/Trash";

    void git(const std::string& dir, const std::vector<std::string>& args) const {
        fixture_git(dir, args, environment(tmp));
    }

    std::string git_output(const std::string& dir, std::vector<std::string> args) const {
        std::vector<std::string> full{"-C", dir};
        full.insert(full.end(), args.begin(), args.end());
        RunOptions options;
        options.environment = environment(tmp);
        return run_process("/usr/bin/git", full, options).out;
    }

    void cargo_project(const std::string& rel) const {
        tmp.write_file("ws/" + rel + "/Cargo.toml", "[package]\nname = \"r\"\n");
        tmp.write_file("ws/" + rel + "/src/main.rs", "fn main() {}\n");
        tmp.write_file("ws/" + rel + "/target/debug/app", std::string(20'000, 'x'));
    }

    // A repository with one commit and a clean worktree on a branch merged into main.
    void repository_with_worktree() {
        const std::string repo = tmp.make_dir("ws/repo");
        git(repo, {"init", "-q"});
        tmp.write_file("ws/repo/README", "hello\n");
        git(repo, {"add", "README"});
        git(repo, {"commit", "-q", "-m", "first"});
        git(repo, {"worktree", "add", "-q", ws + "/wt-feature", "-b", "feature"});
    }
};

TEST_F(CleanWorkspace, DryRunChangesNothing) {
    cargo_project("rust");
    tmp.write_file("ws/site/package.json", "{}\n");
    tmp.write_file("ws/site/.next/cache/page.js", std::string(5'000, 'y'));
    repository_with_worktree();
    const std::string before = listing(ws);

    auto r = clean(tmp, {"--category", "all", ws});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto lines = lines_of(r.out);
    ASSERT_GE(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0].substr(0, 19), "Would clean 3 items");
    EXPECT_NE(r.out.find(ws + "/rust/target\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(ws + "/wt-feature\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n⚠ " + ws + "/site/.next: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nGenerated output (2) would move to Trash.\n1 worktree would be "
                         "removed permanently by git worktree remove"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(lines.back(),
              "Dry run: nothing was changed. Re-run with --yes to proceed (and --accept-caution "
              "for the warnings above).");

    r = clean(tmp, {"--json", "--delete", ws});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["dryRun"], true);
    EXPECT_EQ(doc["action"], "delete");
    EXPECT_EQ(doc["items"].size(), 2u);
    EXPECT_EQ(doc["warnings"].size(), 1u);

    EXPECT_EQ(listing(ws), before);
    EXPECT_FALSE(fs::exists(trash));
}

TEST_F(CleanWorkspace, CautionGateStopsAHiddenItem) {
    tmp.write_file("ws/site/package.json", "{}\n");
    tmp.write_file("ws/site/.next/cache/page.js", std::string(5'000, 'y'));
    const std::string before = listing(ws);

    auto r = clean(tmp, {"--yes", "--delete", ws});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lines_of(r.err),
              (std::vector<std::string>{
                  "bramvelt: some locations need a second look; re-run with --accept-caution "
                  "after reviewing:",
                  "  " + ws + "/site/.next: Hidden data requires explicit acknowledgement"}));

    r = clean(tmp, {"--yes", "--json", ws});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["error"]["code"], "cautionRequired");
    EXPECT_EQ(doc["warnings"].size(), 1u);
    EXPECT_EQ(listing(ws), before);
}

TEST_F(CleanWorkspace, BadInput) {
    auto r = clean(tmp, {"--yes", tmp / "missing"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "bramvelt: " + (tmp / "missing") + ": No such file or directory (os error 2)\n");

    RunOptions options;
    options.environment = environment(tmp);
    options.environment->erase(options.environment->begin());  // no HOME
    r = run_bramvelt({"clean", "--json", ws}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(
        r.out,
        R"j({"error":{"code":"contextUnavailable","message":"Cannot determine your home folder (HOME is unset)"},"schemaVersion":1})j"
        "\n");

    r = clean(tmp, {"--trash", "--delete", ws});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "bramvelt: choose --trash or --delete once\n");
}

// A dry run whose report cannot be written fails, whether standard output is full or
// closed; closed, no file the program opens (Git's output files among them) takes its
// place, or the writes would succeed.
TEST_F(CleanWorkspace, DryRunWithoutItsOutput) {
    cargo_project("rust");
    repository_with_worktree();
    RunOptions options;
    options.environment = environment(tmp);
    for (const std::string redirect : {">&-", "> /dev/full"}) {
        for (const std::string json : {"", "--json "}) {
            SCOPED_TRACE(json + redirect);
            const auto r = run_process(
                "/bin/sh",
                {"-c", "exec \"$0\" clean --category all " + json + "\"$1\" " + redirect,
                 BRAMVELT_BINARY, ws},
                options);
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST_F(CleanWorkspace, ThreeHundredItemsInTwoBatches) {
    for (int i = 0; i < 300; ++i) {
        const std::string rel = "p" + std::to_string(1000 + i);
        tmp.write_file("ws/" + rel + "/Cargo.toml", "[package]\n");
        tmp.write_file("ws/" + rel + "/target/out", "x");
    }
    auto r = clean(tmp, {ws});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 2u + 300u + 2u + 2u) << r.out;
    EXPECT_TRUE(lines[0].starts_with("Would clean 300 items · ")) << lines[0];
    EXPECT_TRUE(lines[2].ends_with(ws + "/p1000/target"));
    EXPECT_TRUE(lines[301].ends_with(ws + "/p1299/target"));

    SKIP_WITHOUT_CLEANUP_RUN();
    r = clean(tmp, {"--yes", "--delete", ws});
    EXPECT_EQ(r.status, 0) << r.err;
    lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 302u) << r.out;
    for (int i = 0; i < 300; ++i) {
        EXPECT_TRUE(lines[i].starts_with("✓ removed ")) << lines[i];
        EXPECT_TRUE(lines[i].ends_with(ws + "/p" + std::to_string(1000 + i) + "/target"));
    }
    EXPECT_TRUE(lines[301].ends_with(" freed · 300 done · 0 kept · 0 stopped")) << lines[301];
    for (int i = 0; i < 300; ++i) {
        const std::string project = ws + "/p" + std::to_string(1000 + i);
        EXPECT_FALSE(fs::exists(project + "/target")) << project;
        EXPECT_TRUE(fs::exists(project + "/Cargo.toml")) << project;
    }
}

TEST_F(CleanWorkspace, DeleteRemovesTheBuildOutputOnly) {
    SKIP_WITHOUT_CLEANUP_RUN();
    cargo_project("rust");
    const auto r = clean(tmp, {"--yes", "--delete", ws});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_TRUE(lines[0].starts_with("✓ removed ")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(ws + "/rust/target"));
    EXPECT_TRUE(lines[2].ends_with(" freed · 1 done · 0 kept · 0 stopped")) << lines[2];
    EXPECT_FALSE(fs::exists(ws + "/rust/target"));
    EXPECT_TRUE(fs::exists(ws + "/rust/Cargo.toml"));
    EXPECT_TRUE(fs::exists(ws + "/rust/src/main.rs"));
    EXPECT_FALSE(fs::exists(trash));
}

TEST_F(CleanWorkspace, TrashMovesTheItemIntoTheFreedesktopTrash) {
    SKIP_WITHOUT_CLEANUP_RUN();
    cargo_project("rust");
    const auto r = clean(tmp, {"--yes", "--json", ws});
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    const auto doc = nlohmann::json::parse(r.out);
    ASSERT_EQ(doc["results"].size(), 1u) << r.out;
    EXPECT_EQ(doc["results"][0]["status"], "trashed");
    EXPECT_FALSE(fs::exists(ws + "/rust/target"));
    EXPECT_TRUE(fs::exists(ws + "/rust/Cargo.toml"));
    EXPECT_TRUE(fs::exists(trash + "/files/target/debug/app"));
    std::ifstream info(trash + "/info/target.trashinfo");
    std::string first_line;
    std::getline(info, first_line);
    EXPECT_EQ(first_line, "[Trash Info]");

    cargo_project("rust2");
    const auto text = clean(tmp, {"--yes", ws});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(
        text.out.ends_with(" moved to Trash · 1 done · 0 kept · 0 stopped · empty the "
                           "Trash to reclaim the space\n"))
        << text.out;
}

TEST_F(CleanWorkspace, CleanWorktreeIsRemovedAndItsBranchKept) {
    SKIP_WITHOUT_CLEANUP_RUN();
    repository_with_worktree();
    const auto r = clean(tmp, {"--yes", "--category", "worktree", ws});
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    const auto lines = lines_of(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines[0].starts_with("✓ removed ")) << r.out;
    EXPECT_TRUE(lines[0].ends_with(ws + "/wt-feature")) << r.out;
    EXPECT_FALSE(fs::exists(ws + "/wt-feature"));
    EXPECT_EQ(git_output(ws + "/repo", {"branch", "--list", "feature", "--format=%(refname)"}),
              "refs/heads/feature\n");
    EXPECT_TRUE(fs::exists(ws + "/repo/README"));
}

// Git asked whether it would remove the worktree (its staged listing is asked only then)
// also drops a file into the Cargo target, which comes later in the run: that folder
// changed after it was reviewed, so it is kept.
TEST_F(CleanWorkspace, FolderChangedBetweenSearchAndRunIsKept) {
    SKIP_WITHOUT_CLEANUP_RUN();
    repository_with_worktree();
    cargo_project("x-rust");
    const std::string bin = tmp.make_dir("bin");
    const std::string wrapper = tmp.write_file(
        "bin/git", "#!/bin/sh\nfor a in \"$@\"; do\n  if [ \"$a\" = --stage ]; then : > '" + ws +
                       "/x-rust/target/late'; fi\ndone\nexec /usr/bin/git \"$@\"\n");
    fs::permissions(wrapper, fs::perms::owner_all);

    const auto r = clean(tmp, {"--yes", "--delete", "--category", "all", ws}, bin + ":");
    EXPECT_EQ(r.status, 1) << r.err << r.out;
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_TRUE(lines[0].ends_with(ws + "/wt-feature")) << r.out;
    EXPECT_TRUE(lines[1].starts_with("✗ kept ")) << r.out;
    EXPECT_NE(lines[1].find(ws + "/x-rust/target  — "), std::string::npos) << r.out;
    EXPECT_TRUE(lines[3].ends_with(" · 1 done · 1 kept · 0 stopped")) << lines[3];
    EXPECT_TRUE(fs::exists(ws + "/x-rust/target/debug/app"));
    EXPECT_TRUE(fs::exists(ws + "/x-rust/target/late"));
}

}  // namespace
}  // namespace bramvelt::testing
