// Runs `bramvelt dev` on small real workspaces: a Cargo project, a Node project and a Git
// repository with a clean and a dirty linked worktree.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "src/cli/format.hpp"
#include "support/eventually.hpp"
#include "support/fixture_git.hpp"
#include "support/lines.hpp"
#include "support/run_process.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::testing {
namespace {

class DevWorkspace : public ::testing::Test {
  protected:
    TempDir tmp;
    std::string home = tmp.make_dir("home");
    std::string ws = tmp.make_dir("home/ws");

    std::vector<std::string> environment(const std::string& path_prefix = "") const {
        const char* path = std::getenv("PATH");
        return {"HOME=" + home, "PATH=" + path_prefix + (path ? path : "/usr/bin:/bin"),
                "GIT_CONFIG_NOSYSTEM=1", "GIT_CONFIG_GLOBAL=/dev/null", "LC_ALL=C"};
    }

    void git(const std::string& dir, const std::vector<std::string>& args) const {
        fixture_git(dir, args, environment());
    }

    void build_workspace() {
        tmp.write_file("home/ws/rust/Cargo.toml", "[package]\nname = \"r\"\n");
        tmp.write_file("home/ws/rust/target/debug/app", std::string(30'000, 'x'));
        tmp.write_file("home/ws/web/package.json", "{}\n");
        tmp.write_file("home/ws/web/node_modules/left-pad/index.js", std::string(10'000, 'y'));
        const std::string repo = tmp.make_dir("home/ws/repo");
        git(repo, {"init", "-q"});
        tmp.write_file("home/ws/repo/README", "hello\n");
        git(repo, {"add", "README"});
        git(repo, {"commit", "-q", "-m", "first"});
        git(repo, {"worktree", "add", "-q", ws + "/wt-clean", "-b", "feature"});
        git(repo, {"worktree", "add", "-q", ws + "/wt-dirty", "-b", "wip"});
        tmp.write_file("home/ws/wt-dirty/notes.txt", "unsaved\n");
    }

    ProcessResult dev(std::vector<std::string> args) const {
        args.insert(args.begin(), "dev");
        RunOptions options;
        options.environment = environment();
        options.cwd = home;
        return run_bramvelt(args, options);
    }
};

TEST_F(DevWorkspace, TextReportAndJsonDocumentAgree) {
    build_workspace();
    const auto json_run = dev({"--json", "ws"});
    ASSERT_EQ(json_run.status, 0) << json_run.err;
    EXPECT_EQ(json_run.err, "");
    const auto doc = nlohmann::json::parse(json_run.out);
    std::vector<std::string> keys;
    for (const auto& [key, value] : doc.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"candidates", "reviewableBytes", "roots",
                                              "schemaVersion", "summary"}));
    EXPECT_EQ(doc["schemaVersion"], 1);
    EXPECT_EQ(doc["roots"], nlohmann::json::array({ws}));
    EXPECT_EQ(doc["summary"]["roots"], doc["roots"]);
    EXPECT_EQ(doc["summary"].size(), 11u);

    struct Expected {
        std::string path;
        std::string kind;
        std::string category;
        std::string status;
        std::string branch;  // empty: no Git record
    };
    const std::vector<Expected> expected = {
        {ws + "/rust/target", "build", "rebuildable", "Rebuildable", ""},
        {ws + "/web/node_modules", "dependencies", "keep", "Needs investigation", ""},
        {ws + "/wt-clean", "worktree", "worktree", "Commits preserved", "feature"},
        {ws + "/wt-dirty", "worktree", "keep", "Local changes", "wip"},
        {ws + "/repo", "repository", "keep", "Keep repository", "main"},
    };
    ASSERT_EQ(doc["candidates"].size(), expected.size()) << json_run.out;
    std::map<std::string, nlohmann::json> by_path;
    std::uint64_t previous = UINT64_MAX;
    for (const auto& c : doc["candidates"]) {
        by_path[c["path"]] = c;
        // Largest first.
        EXPECT_LE(c["allocated_bytes"].get<std::uint64_t>(), previous);
        previous = c["allocated_bytes"].get<std::uint64_t>();
        EXPECT_EQ(c.size(), 13u);
    }
    for (const auto& e : expected) {
        ASSERT_TRUE(by_path.contains(e.path)) << e.path;
        const auto& c = by_path[e.path];
        EXPECT_EQ(c["kind"], e.kind) << e.path;
        EXPECT_EQ(c["category"], e.category) << e.path;
        EXPECT_EQ(c["status"], e.status) << e.path;
        if (e.branch.empty()) {
            EXPECT_TRUE(c["git"].is_null());
        } else {
            EXPECT_EQ(c["git"].size(), 19u);
            EXPECT_EQ(c["git"]["branch"], e.branch);
            EXPECT_EQ(c["git"]["repository"], ws + "/repo");
            EXPECT_EQ(c["last_access_estimate"], nullptr);
        }
    }
    const auto& clean = by_path[ws + "/wt-clean"]["git"];
    EXPECT_EQ(clean["dirty"], false);
    EXPECT_TRUE(clean["merged_into"].is_array() && !clean["merged_into"].empty());
    EXPECT_EQ(by_path[ws + "/wt-dirty"]["git"]["dirty"], true);
    EXPECT_EQ(by_path[ws + "/wt-dirty"]["git"]["untracked"], 1);

    const auto bytes = [&](const std::string& path) {
        return by_path[path]["allocated_bytes"].get<std::uint64_t>();
    };
    const auto size = [&](const std::string& path) {
        const auto& c = by_path[path];
        const std::string text = cli::format_size(bytes(path));
        return c["measurement_complete"] ? text : "≥" + text;
    };
    const std::uint64_t reviewable = bytes(ws + "/rust/target") + bytes(ws + "/wt-clean");
    EXPECT_EQ(doc["reviewableBytes"], reviewable);
    EXPECT_EQ(doc["summary"]["candidates"], 5);
    EXPECT_EQ(doc["summary"]["candidate_bytes"], reviewable);

    // The same search as text, line by line.
    const auto text = dev({"ws"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.err, "");  // standard error is not a terminal: no progress line
    const auto pad = [](std::string s, std::size_t width, bool left) {
        std::size_t chars = 0;
        for (unsigned char ch : s) chars += (ch & 0xC0) != 0x80;
        const std::string fill(chars < width ? width - chars : 0, ' ');
        return left ? fill + s : s + fill;
    };
    const auto line = [&](const std::string& path, const std::string& label,
                          const std::string& shown, const std::string& tail) {
        return "  " + pad(size(path), 10, true) + "  " + pad("0m", 5, true) + "  " +
               pad(label, 22, false) + " " + shown + tail;
    };
    std::string merged;
    for (const auto& m : clean["merged_into"])
        merged += (merged.empty() ? "" : ", ") + m.get<std::string>();
    std::vector<std::string> keep_lines;
    for (const auto& c : doc["candidates"]) {
        if (c["category"] != "keep") continue;
        const std::string path = c["path"];
        const std::string shown = "~" + path.substr(home.size());
        const std::string tail =
            c["git"].is_null() ? "" : "  ⎇ " + c["git"]["branch"].get<std::string>();
        keep_lines.push_back(line(path, c["status"], shown, tail));
    }
    const auto keep_total =
        bytes(ws + "/web/node_modules") + bytes(ws + "/wt-dirty") + bytes(ws + "/repo");
    const std::vector<std::string> expected_lines = {
        "Development cleanup · ~/ws",
        "",
        "Can be rebuilt — 1 item · " + cli::format_size(bytes(ws + "/rust/target")),
        line(ws + "/rust/target", "Cargo build output", "~/ws/rust/target", ""),
        "",
        "Worktrees to review — 1 item · " + cli::format_size(bytes(ws + "/wt-clean")),
        line(ws + "/wt-clean", "Git worktree", "~/ws/wt-clean",
             "  ⎇ feature (merged into " + merged + ")"),
        "",
        "Keep for now — 3 items · " + cli::format_size(keep_total),
        keep_lines.at(0),
        keep_lines.at(1),
        keep_lines.at(2),
        "",
        "Space to review: " + cli::format_size(reviewable),
    };
    const auto lines = lines_of(text.out);
    ASSERT_EQ(lines.size(), expected_lines.size() + 3) << text.out;
    for (std::size_t i = 0; i < expected_lines.size(); ++i) {
        EXPECT_EQ(lines[i], expected_lines[i]) << "line " << i;
    }
    EXPECT_TRUE(std::regex_match(lines[expected_lines.size()],
                                 std::regex("5 candidates · [0-9]+ entries · [0-9]+ folders · "
                                            "[0-9]+ git checks · [0-9]+\\.[0-9]s")))
        << lines[expected_lines.size()];
    EXPECT_EQ(lines[expected_lines.size() + 1], "");
    EXPECT_EQ(lines[expected_lines.size() + 2],
              "Preview a cleanup with `bramvelt clean`, or review interactively with `bramvelt "
              "dev -i`.");
}

TEST_F(DevWorkspace, CtrlCDuringTheSearchReportsWhatWasFound) {
    // A git that blocks until it is killed holds the search at a known point.
    tmp.make_dir("home/ws/repo/.git");
    const std::string fake = tmp.make_dir("fake");
    const std::string marker = tmp / "marker";
    tmp.write_file("fake/git", "#!/bin/sh\n: > '" + marker + "'\nexec sleep 30\n");
    ASSERT_EQ(::chmod((fake + "/git").c_str(), 0755), 0);

    // A job started with `&` inherits Ctrl-C ignored, and keeps it so; here the program
    // gets the default back, as from an interactive shell.
    const std::string script = "env --default-signal=INT '" + std::string(BRAMVELT_BINARY) +
                               "' dev ws > '" + (tmp / "out") + "' 2> '" + (tmp / "err") +
                               "' & pid=$!\n"
                               "i=0; while [ ! -e '" +
                               marker +
                               "' ] && [ $i -lt 6000 ]; do sleep 0.01; i=$((i+1)); done\n"
                               "kill -INT $pid; wait $pid; echo $?\n";
    RunOptions options;
    options.environment = environment(fake + ":");
    options.cwd = home;
    const auto r = run_process("/bin/sh", {"-c", script}, options);
    EXPECT_EQ(r.out, "130\n") << r.err;
    std::ifstream out_file(tmp / "out");
    const std::string out((std::istreambuf_iterator<char>(out_file)), {});
    const auto lines = lines_of(out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Development cleanup · ~/ws");
    EXPECT_TRUE(lines.back().ends_with(" · stopped")) << out;
    EXPECT_TRUE(out.ends_with("\n"));
    std::ifstream err_file(tmp / "err");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(err_file)), {}), "");
}

// At a real terminal: the progress line shows while the search runs, and Ctrl-C erases it
// before the report of what was found.
TEST_F(DevWorkspace, ProgressLineAtATerminalIsErasedOnCtrlC) {
    // A slow failing git keeps the search busy for seconds, emitting progress between checks.
    for (int i = 0; i < 8; ++i) tmp.make_dir("home/ws/r" + std::to_string(i) + "/.git");
    const std::string fake = tmp.make_dir("fake");
    tmp.write_file("fake/git", "#!/bin/sh\nsleep 0.3\nexit 1\n");
    ASSERT_EQ(::chmod((fake + "/git").c_str(), 0755), 0);
    std::string exports;
    for (const auto& e : environment(fake + ":")) exports += "export '" + e + "'\n";
    const std::string status = tmp / "status";
    // The shell ignores Ctrl-C so that it lives on to record the status; the program,
    // which would inherit that, gets the default back.
    tmp.write_file("run.sh", exports + "trap '' INT\ncd '" + home +
                                 "'\nenv --default-signal=INT '" + BRAMVELT_BINARY +
                                 "' dev ws\necho $? > '" + status + "'\nsleep 60\n");
    const std::string socket = tmp / "tmux.sock";
    const auto tmux = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"-u", "-f", "/dev/null", "-S", socket});
        RunOptions options;
        options.environment =
            std::vector<std::string>{"PATH=/usr/bin:/bin", "TERM=xterm-256color", "LC_ALL=C.UTF-8"};
        return run_process("/usr/bin/tmux", args, options);
    };
    ASSERT_EQ(tmux({"new-session", "-d", "-x", "160", "-y", "40", "sh " + (tmp / "run.sh")}).status,
              0);
    const auto pane = [&] { return tmux({"capture-pane", "-p", "-J"}).out; };
    const auto wait_for = [&](auto done) { return testing::eventually(done); };
    EXPECT_TRUE(wait_for([&] {
        return pane().find("Searching… 0 candidates · ") != std::string::npos;
    })) << pane();
    tmux({"send-keys", "C-c"});
    EXPECT_TRUE(wait_for([&] { return ::access(status.c_str(), F_OK) == 0; })) << pane();
    const std::string screen = pane();
    tmux({"kill-server"});

    std::ifstream status_file(status);
    std::string code;
    status_file >> code;
    EXPECT_EQ(code, "130");
    EXPECT_EQ(screen.find("Searching"), std::string::npos) << screen;
    const auto lines = lines_of(screen);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Development cleanup · ~/ws") << screen;
    EXPECT_NE(screen.find(" · stopped\n"), std::string::npos) << screen;
}

TEST_F(DevWorkspace, BadFoldersAndClosedOutput) {
    auto r = dev({"--json", "missing"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              R"({"error":{"code":"invalidArguments","message":")" + home +
                  "/missing: No such file or directory (os error 2)\"},\"schemaVersion\":1}\n");

    // A current folder that no longer exists cannot anchor a relative folder.
    RunOptions in_gone;
    in_gone.environment = environment();
    in_gone.cwd = home;
    r = run_process("/bin/sh",
                    {"-c", "mkdir gone && cd gone && rmdir ../gone && '" +
                               std::string(BRAMVELT_BINARY) + "' dev ws; echo \" $?\""},
                    in_gone);
    EXPECT_EQ(r.out, " 2\n");
    EXPECT_EQ(r.err, "bramvelt: No such file or directory (os error 2)\n");

    std::vector<std::string> many;
    for (int i = 0; i < 33; ++i) many.push_back("ws");
    r = dev(many);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "bramvelt: choose at most 32 folders\n");

    tmp.write_file("home/ws/rust/Cargo.toml", "[package]\n");
    tmp.write_file("home/ws/rust/target/out", "x");
    RunOptions options;
    options.environment = environment();
    options.cwd = home;
    const auto closed = run_process(
        "/bin/sh", {"-c", "'" + std::string(BRAMVELT_BINARY) + "' dev ws >&-; echo $?"}, options);
    EXPECT_EQ(closed.out, "1\n");
}

}  // namespace
}  // namespace bramvelt::testing
