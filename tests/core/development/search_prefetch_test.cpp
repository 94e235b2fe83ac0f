// The search with Git asked ahead by a pool of children and artifacts measured ahead by
// other threads gives what it gives doing each when it gets there: the same finds in the
// same order and the same summary, commands counted included, whichever budget cuts it
// short; and a cancelled search leaves no process, thread or descriptor behind. Threads
// that fail to start or whose jobs fail leave the answer unchanged; memory that runs out
// on the search's own thread ends it with a failure and, again, nothing behind.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/development/ahead_threads.hpp"
#include "core/development/search.hpp"
#include "dev_fixture.hpp"
#include "platform/resource_exhaustion.hpp"
#include "support/eventually.hpp"

namespace bramvelt::development {
namespace {

using namespace std::chrono_literals;
using testing::git;

struct Outcome {
    std::vector<DevCandidate> candidates;
    DevScanSummary summary;
};

struct CollectingSink final : DevScanSink {
    Outcome outcome;
    std::function<void()> on_candidate;
    void on_event(DevScanEvent e) override {
        if (auto* c = std::get_if<DevScanEvent::Candidate>(&e.value)) {
            outcome.candidates.push_back(c->candidate);
            if (on_candidate) on_candidate();
        } else if (auto* f = std::get_if<DevScanEvent::Finished>(&e.value)) {
            outcome.summary = f->summary;
            outcome.summary.elapsed_ms = 0;
        }
    }
};

std::size_t entries_in(const std::string& folder) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (::readdir(d) != nullptr) ++n;
        ::closedir(d);
    }
    return n;
}

// Processes whose parent is this one.
std::vector<std::string> our_children() {
    std::vector<std::string> out;
    const std::string self = std::to_string(::getpid());
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string state, ppid;
        rest >> state >> ppid;
        if (ppid == self) out.push_back(line);
    }
    return out;
}

// A Git time limit no test reaches: ctest ends a test long before (300 s), so a search
// that returns did not wait its children out.
constexpr std::uint64_t kBeyondTheTestsLimit = 3600;

class DevPrefetchSearchTest : public testing::DevTest {
  private:
    std::optional<testing::ScopedEnv> pids_env_;
    std::optional<testing::ScopedEnv> path_env_;

  protected:
    // Repositories in the states the inspection tells apart: worktrees inside and outside
    // the roots, two the walk meets before their main checkout, build outputs inside, a
    // dirty tree, a partial clone, drivers only Git can list, no commits, a nested clone.
    void make_workspace() {
        const std::string a = make_repo("ws/a-repo");
        tmp.write_file("ws/a-repo/.gitignore", "node_modules/\ntarget/\n");
        tmp.write_file("ws/a-repo/package.json", "{}");
        tmp.write_file("ws/a-repo/Cargo.toml", "");
        git(a, {"add", ".gitignore", "package.json", "Cargo.toml"});
        git(a, {"commit", "-q", "-m", "manifests"});
        tmp.write_file("ws/a-repo/node_modules/x/index.js", "x");
        tmp.write_file("ws/a-repo/target/debug/app", "bin");
        git(a, {"worktree", "add", "-q", "-b", "one", tmp / "ws/wt/a-one"});
        git(a, {"worktree", "add", "-q", "-b", "two", tmp / "ws/wt/a-two"});
        git(a, {"worktree", "add", "-q", "-b", "away", tmp / "away/a-out"});
        tmp.write_file("ws/wt/a-one/target/debug/app", "bin");
        tmp.write_file("ws/wt/a-two/README", "changed\n");
        tmp.write_file("ws/wt/a-two/new.txt", "untracked\n");

        const std::string b = make_repo("ws/zz/b-repo");
        git(b, {"worktree", "add", "-q", "-b", "early", tmp / "ws/0-early"});
        git(b, {"worktree", "add", "-q", "-b", "early2", tmp / "ws/0-early2"});

        git(a, {"config", "uploadpack.allowfilter", "true"});
        git(tmp / "ws", {"clone", "-q", "--filter=blob:none", "file://" + a, tmp / "ws/c-partial"});

        const std::string d = make_repo("ws/d-listed");
        tmp.write_file("ws/d-listed/extra.cfg", "[filter \"probe\"]\n\tclean = cat\n");
        git(d, {"config", "include.path", "../extra.cfg"});
        tmp.write_file("ws/d-listed/.gitattributes", "*.txt filter=probe\n");

        git(tmp.make_dir("ws/e-empty"), {"init", "-q"});
        make_repo("ws/f-outer");
        make_repo("ws/f-outer/inner");

        for (int i = 0; i < 6; ++i) {
            const std::string p = "ws/p" + std::to_string(i);
            tmp.write_file(p + "/Cargo.toml", "");
            for (int j = 0; j < 4; ++j) {
                tmp.write_file(p + "/target/d" + std::to_string(j) + "/x", "x");
            }
            tmp.write_file(p + "/web/package.json", "{}");
            tmp.write_file(p + "/web/node_modules/m/index.js", "x");
            tmp.write_file(p + "/web/node_modules/m/lib/a.js", "x");
        }
    }
    // A `git` first on PATH whose status and ls-files hang for good (each waiting on a
    // child that never ends by itself), noting both pids in the file it returns; for as
    // long as the fixture lives.
    std::string use_hanging_git() {
        const std::string bin = tmp.make_dir("bin");
        tmp.write_file("bin/git", R"SH(#!/bin/sh
for a in "$@"; do
  case "$a" in
  status|ls-files) tail -f /dev/null & echo $! >> "$FAKE_GIT_PIDS"; echo $$ >> "$FAKE_GIT_PIDS"; wait; exit 0 ;;
  esac
done
exec /usr/bin/git "$@"
)SH");
        ::chmod((bin + "/git").c_str(), 0755);
        const std::string pids_file = tmp / "pids";
        pids_env_.emplace("FAKE_GIT_PIDS", pids_file.c_str());
        path_env_.emplace("PATH", (bin + ":/usr/bin:/bin").c_str());
        return pids_file;
    }

    // Every process noted in `pids_file` is gone (or a zombie left to its parent), and
    // some were noted.
    static void expect_noted_children_gone(const std::string& pids_file) {
        std::ifstream in(pids_file);
        int pid = 0;
        int noted = 0;
        while (in >> pid) {
            ++noted;
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            const bool gone =
                !std::getline(stat, line) || line.substr(line.rfind(')') + 2, 1) == "Z";
            EXPECT_TRUE(gone) << line;
        }
        EXPECT_GT(noted, 0);
    }

    // `threads` Git children and as many threads measuring ahead; none: the search does
    // everything itself when it gets there.
    Outcome run(unsigned threads, std::uint64_t entries,
                std::optional<std::size_t> stop_after_candidates = std::nullopt) {
        SearchOptions options;
        options.ahead_threads = threads;
        testing::ManualClock manual;
        options.clock = manual.fn();
        CollectingSink sink;
        // The time limit passes once this many finds are made.
        if (stop_after_candidates) {
            sink.on_candidate = [&] {
                if (sink.outcome.candidates.size() == *stop_after_candidates) {
                    manual.advance(std::chrono::seconds(120));
                }
            };
        }
        EXPECT_TRUE(
            scan_development({{tmp / "ws"}, 8, entries, false}, make_cancel_flag(), sink, options));
        return sink.outcome;
    }
};

TEST_F(DevPrefetchSearchTest, SameFindsAndSummaryWhateverCutsTheSearchShort) {
    make_workspace();
    const Outcome whole = run(0, 2'000'000);
    ASSERT_GT(whole.summary.git_commands, 40u);
    ASSERT_GE(whole.candidates.size(), 14u);
    const std::uint64_t entries = whole.summary.entries_examined;
    const auto same = [](const Outcome& serial, const Outcome& pooled, const std::string& what) {
        EXPECT_EQ(pooled.summary, serial.summary) << what;
        ASSERT_EQ(pooled.candidates.size(), serial.candidates.size()) << what;
        for (std::size_t i = 0; i < serial.candidates.size(); ++i) {
            EXPECT_EQ(pooled.candidates[i], serial.candidates[i]) << what << ": " << i;
        }
    };
    same(whole, run(4, 2'000'000), "whole");
    same(whole, run(1, 2'000'000), "one child");
    for (const std::uint64_t limit : {std::uint64_t{1}, std::uint64_t{7}, entries / 5, entries / 3,
                                      entries / 2, entries - 20, entries - 1}) {
        const Outcome serial = run(0, limit);
        EXPECT_TRUE(serial.summary.limited) << limit;
        same(serial, run(4, limit), "entries " + std::to_string(limit));
    }
    for (const std::size_t finds : {std::size_t{1}, std::size_t{3}, std::size_t{8}}) {
        const Outcome serial = run(0, 2'000'000, finds);
        EXPECT_TRUE(serial.summary.limited);
        same(serial, run(4, 2'000'000, finds), "time after " + std::to_string(finds) + " finds");
    }
}

// The status may read a checkout's files, which moves their access times: a checkout is
// measured after its status, ahead or not, so a build output inside reports the read.
TEST_F(DevPrefetchSearchTest, CheckoutIsMeasuredAfterItsStatus) {
    const std::string repo = make_repo("ws/web");
    tmp.write_file("ws/web/package.json", "{}");
    tmp.write_file("ws/web/dist/app.js", "built\n");
    git(repo, {"add", "package.json", "dist/app.js"});
    git(repo, {"commit", "-q", "-m", "build"});
    const std::string app = tmp / "ws/web/dist/app.js";
    for (const unsigned threads : {0u, 4u}) {
        // Changed since the index saw it, so the status reads it again.
        const struct timespec times[2] = {{1'000'000'000, 0}, {1'500'000'000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, app.c_str(), times, 0), 0);
        const Outcome outcome = run(threads, 2'000'000);
        const auto dist =
            std::find_if(outcome.candidates.begin(), outcome.candidates.end(),
                         [&](const DevCandidate& c) { return c.path == tmp / "ws/web/dist"; });
        ASSERT_NE(dist, outcome.candidates.end());
        ASSERT_TRUE(dist->last_access_estimate);
        if (threads == 0 && *dist->last_access_estimate == 1'000'000'000) {
            GTEST_SKIP() << "reading does not move access times on this file system";
        }
        EXPECT_GT(*dist->last_access_estimate, 1'500'000'000u) << threads;
    }
}

// A partial clone is never asked for its files, status or history, not even ahead.
TEST_F(DevPrefetchSearchTest, NothingAskedAheadThatTheInspectionWouldNotAsk) {
    make_workspace();
    const auto path = git_first_on_path(
        "#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"$GIT_LOG\"\nexec /usr/bin/git \"$@\"\n");
    testing::ScopedEnv log("GIT_LOG", (tmp / "git.log").c_str());
    const Outcome pooled = run(4, 2'000'000);

    std::ifstream in(tmp / "git.log");
    std::string line;
    std::size_t lines = 0;
    const std::string partial = "-C " + tmp / "ws/c-partial ";
    while (std::getline(in, line)) {
        ++lines;
        if (line.find(partial) == std::string::npos) continue;
        const std::string command = line.substr(line.find(partial) + partial.size());
        for (const char* refused : {"ls-files", "status", "for-each-ref", "show"}) {
            EXPECT_FALSE(command.starts_with(refused)) << command;
        }
    }
    // Every command started was asked for: none ran ahead in vain.
    EXPECT_EQ(lines, pooled.summary.git_commands);
}

// Fails the threads working ahead as told while it lives.
struct AheadFailureScope {
    explicit AheadFailureScope(AheadFailure failure) { fail_work_ahead_for_testing(failure); }
    ~AheadFailureScope() { fail_work_ahead_for_testing(AheadFailure::None); }
    AheadFailureScope(const AheadFailureScope&) = delete;
    AheadFailureScope& operator=(const AheadFailureScope&) = delete;
};

// No thread working ahead starts, or every job they take on throws as when memory runs
// out: the search does the work itself and finds what it finds alone, so no checkout is
// called clean on a helper's word.
TEST_F(DevPrefetchSearchTest, HelpersThatCannotStartOrThrowLeaveTheAnswerUnchanged) {
    make_workspace();
    const Outcome serial = run(0, 2'000'000);
    ASSERT_GE(serial.candidates.size(), 14u);
    std::thread([] {}).join();  // a sanitizer's own helper thread starts with the first thread
    const std::size_t threads = entries_in("/proc/self/task");
    for (const AheadFailure failure : {AheadFailure::ThreadStart, AheadFailure::JobThrows}) {
        const AheadFailureScope failing(failure);
        SearchOptions options;
        options.ahead_threads = 4;
        CollectingSink sink;
        std::size_t most_threads = 0;
        sink.on_candidate = [&] {
            most_threads = std::max(most_threads, entries_in("/proc/self/task"));
        };
        const auto searched = scan_development({{tmp / "ws"}, 8, 2'000'000, false},
                                               make_cancel_flag(), sink, options);
        const std::string what = failure == AheadFailure::ThreadStart ? "start" : "throw";
        ASSERT_TRUE(searched) << what << ": " << searched.error();
        EXPECT_EQ(sink.outcome.summary, serial.summary) << what;
        EXPECT_EQ(sink.outcome.candidates, serial.candidates) << what;
        // The threads were there to fail, or never there at all.
        if (failure == AheadFailure::ThreadStart) {
            EXPECT_EQ(most_threads, threads);
        } else {
            EXPECT_GT(most_threads, threads);
        }
        EXPECT_EQ(entries_in("/proc/self/task"), threads) << what;
    }
}

// Memory runs out in the sink while a Git child asked ahead hangs: the search ends with
// the failure's text, the child killed and reaped and every thread joined.
TEST_F(DevPrefetchSearchTest, OutOfMemoryOnTheSearchThreadEndsItAndLeavesNothingBehind) {
    make_repo("ws/a-repo");
    tmp.write_file("ws/p0/Cargo.toml", "");
    tmp.write_file("ws/p0/target/debug/x", "x");
    const std::string pids_file = use_hanging_git();

    std::thread([] {}).join();  // a sanitizer's own helper thread starts with the first thread
    const std::size_t threads = entries_in("/proc/self/task");
    const std::size_t descriptors = entries_in("/proc/self/fd");
    SearchOptions options;
    options.ahead_threads = 4;
    options.git_timeout_seconds = kBeyondTheTestsLimit;
    CollectingSink sink;
    // The repository's status, asked ahead while its inspection waits for the walk, hangs
    // by the time the build folder is reported.
    sink.on_candidate = [&] {
        EXPECT_TRUE(testing::eventually([&] {
            std::ifstream in(pids_file);
            int pid = 0;
            return static_cast<bool>(in >> pid);
        }));
        throw std::bad_alloc();
    };
    // The hanging child ends only when killed, and no time limit comes before the test's
    // own: a search that returns has killed it.
    const auto searched =
        scan_development({{tmp / "ws"}, 8, 2'000'000, false}, make_cancel_flag(), sink, options);
    ASSERT_FALSE(searched);
    EXPECT_EQ(searched.error(), platform::kOutOfMemory);
    EXPECT_EQ(sink.outcome.candidates.size(), 1u);

    EXPECT_EQ(entries_in("/proc/self/task"), threads);
    EXPECT_EQ(entries_in("/proc/self/fd"), descriptors);
    EXPECT_TRUE(our_children().empty());
    expect_noted_children_gone(pids_file);
}

TEST_F(DevPrefetchSearchTest, CancelledSearchLeavesNothingBehind) {
    make_workspace();
    const std::string pids_file = use_hanging_git();

    std::thread([] {}).join();  // a sanitizer's own helper thread starts with the first thread
    const std::size_t threads = entries_in("/proc/self/task");
    const std::size_t descriptors = entries_in("/proc/self/fd");
    CancelFlag cancel = make_cancel_flag();
    // Cancelled once a Git child hangs, however long the search took to start one.
    std::atomic<bool> search_ended{false};
    std::thread canceller([&] {
        testing::eventually([&] {
            std::ifstream in(pids_file);
            int pid = 0;
            return search_ended.load() || static_cast<bool>(in >> pid);
        });
        cancel->store(true);
    });
    SearchOptions options;
    options.ahead_threads = 4;
    options.git_timeout_seconds = kBeyondTheTestsLimit;
    CollectingSink sink;
    // As above: returning at all means the hanging children were killed.
    const auto searched =
        scan_development({{tmp / "ws"}, 8, 2'000'000, false}, cancel, sink, options);
    search_ended.store(true);
    canceller.join();
    ASSERT_TRUE(searched);
    EXPECT_TRUE(sink.outcome.summary.cancelled);

    EXPECT_EQ(entries_in("/proc/self/task"), threads);
    EXPECT_EQ(entries_in("/proc/self/fd"), descriptors);
    EXPECT_TRUE(our_children().empty());
    expect_noted_children_gone(pids_file);
}

}  // namespace
}  // namespace bramvelt::development
