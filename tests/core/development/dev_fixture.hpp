#pragma once
// Shared fixtures of the discovery tests: a fresh folder with its own HOME, real Git
// repositories made with the system git, and a search state with a controllable clock.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/development/state.hpp"
#include "support/run_process.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::testing {

// A clock that moves only when told to.
struct ManualClock {
    std::chrono::steady_clock::time_point now{std::chrono::steady_clock::now()};
    development::SearchClock fn() {
        return [this] { return now; };
    }
    void advance(std::chrono::milliseconds d) { now += d; }
};

// Runs the system git (never a fake one on PATH) with a fixed identity.
inline std::string git(const std::string& dir, std::vector<std::string> args) {
    std::vector<std::string> full{"-c", "user.name=Dev Test",
                                  "-c", "user.email=dev@example.com",
                                  "-c", "init.defaultBranch=main",
                                  "-c", "protocol.file.allow=always",
                                  "-C", dir};
    full.insert(full.end(), args.begin(), args.end());
    const auto r = run_process("/usr/bin/git", full);
    EXPECT_EQ(r.status, 0) << "git " << args.front() << ": " << r.err;
    return r.out;
}

inline std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

// A file of `bytes` bytes of data, so it really occupies blocks.
inline std::string write_sized(const TempDir& tmp, const std::string& rel, std::size_t bytes) {
    return tmp.write_file(rel, std::string(bytes, 'x'));
}

inline void symlink_to(const std::string& target, const std::string& link) {
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
}

// A temporary folder with HOME pointing into it and Git isolated from the machine.
class DevTest : public ::testing::Test {
  protected:
    TempDir tmp;
    ScopedEnv home{"HOME", (tmp.make_dir("home"), (tmp / "home").c_str())};
    ScopedEnv nosystem{"GIT_CONFIG_NOSYSTEM", "1"};
    ScopedEnv global{"GIT_CONFIG_GLOBAL", "/dev/null"};
    ManualClock clock;

    // Puts an executable `git` with the given script first on PATH (before /usr/bin and
    // /bin) for as long as the returned value lives.
    std::unique_ptr<ScopedEnv> git_first_on_path(const std::string& script) {
        const std::string bin = tmp.make_dir("bin");
        tmp.write_file("bin/git", script);
        ::chmod((bin + "/git").c_str(), 0755);
        return std::make_unique<ScopedEnv>("PATH", (bin + ":/usr/bin:/bin").c_str());
    }

    // A repository at rel with one commit on main.
    std::string make_repo(const std::string& rel) {
        const std::string dir = tmp.make_dir(rel);
        git(dir, {"init", "-q"});
        tmp.write_file(rel + "/README", "hello\n");
        git(dir, {"add", "README"});
        git(dir, {"commit", "-q", "-m", "first"});
        return dir;
    }
    void commit_file(const std::string& dir, const std::string& name, const std::string& text) {
        std::ofstream(dir + "/" + name) << text;
        git(dir, {"add", name});
        git(dir, {"commit", "-q", "-m", "change " + name});
    }
};

// A search state over `roots` whose sink keeps the candidates.
struct StateFixture {
    development::CandidateListSink sink;
    CancelFlag cancel = make_cancel_flag();
    development::DevScanState state;
    StateFixture(std::vector<std::string> roots, development::SearchClock clock = {},
                 std::uint64_t max_entries = 2'000'000, bool verify_remotes = false)
        : state(development::DevScanRequest{roots, 8, max_entries, verify_remotes}, roots, cancel,
                sink, std::move(clock)) {}
};

}  // namespace bramvelt::testing

namespace bramvelt::development {

// Failure messages name kinds and recommendations by their words.
inline void PrintTo(CandidateKind kind, std::ostream* os) {
    *os << kind_word(kind);
}
inline void PrintTo(Recommendation recommendation, std::ostream* os) {
    *os << recommendation_word(recommendation);
}

}  // namespace bramvelt::development
