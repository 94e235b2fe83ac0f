// The built program's scan and open commands on real folder trees.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "platform/spawn.hpp"
#include "support/eventually.hpp"
#include "support/run_process.hpp"
#include "support/temp_dir.hpp"

extern char** environ;

namespace bramvelt::testing {
namespace {

std::vector<std::string> env_with(std::vector<std::string> extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        bool replaced = false;
        for (const auto& x : extra) {
            if (entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1))
                replaced = true;
        }
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::int64_t du_bytes(const std::string& path) {
    const auto result = run_process("du", {"-s", "-x", "-B1", path});
    EXPECT_EQ(result.status, 0) << result.err;
    return std::stoll(result.out);
}

void fill(const TempDir& dir, const std::string& relative, std::size_t size) {
    dir.write_file(relative, std::string(size, 'z'));
}

TEST(ScanProgram, TotalsMatchDu) {
    TempDir dir;
    const std::string home = dir.make_dir("home");
    const std::string root = dir.make_dir("tree");
    for (int i = 0; i < 12; ++i) {
        fill(dir, "tree/d" + std::to_string(i) + "/sub/file", 1000 * i + 1);
        fill(dir, "tree/d" + std::to_string(i) + "/top", 70'000);
    }
    ASSERT_EQ(::link((root + "/d3/top").c_str(), (root + "/d9/sub/again").c_str()), 0);
    ASSERT_EQ(::symlink("/", (root + "/d1/root-link").c_str()), 0);
    const RunOptions options{"", env_with({"HOME=" + home}), ""};

    const auto json = run_bramvelt({"scan", "--json", root}, options);
    ASSERT_EQ(json.status, 0) << json.err;
    const auto doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["tree"]["size"].get<std::int64_t>(), du_bytes(root));
    EXPECT_EQ(doc["stats"]["filesScanned"], 25);
    EXPECT_GT(doc["stats"]["hardlinkBytesSaved"].get<std::int64_t>(), 0);

    const auto text = run_bramvelt({"scan", "--top", "3", root}, options);
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("… 9 entries hidden by --top\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(" allocated · 25 files · 25 directories · "), std::string::npos);
}

TEST(ScanProgram, UnreadableFolderGivesStatusThree) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string home = dir.make_dir("home");
    const std::string root = dir.make_dir("tree");
    fill(dir, "tree/open/file", 10);
    fill(dir, "tree/closed/secret", 10);
    ::chmod(home.c_str(), 0777);
    ::chmod((root + "/closed").c_str(), 0000);
    const RunOptions options{"", env_with({"HOME=" + home}), ""};
    const std::vector<std::string> as_nobody = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                BRAMVELT_BINARY, "scan"};
    auto args = as_nobody;
    args.push_back(root);
    const auto text = run_process("setpriv", args, options);
    ASSERT_EQ(text.status, 3) << text.out << text.err;
    EXPECT_NE(text.out.find("closed [unreadable]\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(" · incomplete\n"), std::string::npos);

    args = as_nobody;
    args.insert(args.end(), {"--json", root});
    const auto json = run_process("setpriv", args, options);
    ASSERT_EQ(json.status, 3) << json.err;
    const auto doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["incomplete"], true);
    EXPECT_EQ(doc["stats"]["unreadableItems"], 1);
    EXPECT_EQ(doc["tree"]["isIncomplete"], true);
    ::chmod((root + "/closed").c_str(), 0755);
}

// Whether the process has a handler of its own for SIGINT, or has ended (then the caller
// stops waiting and learns so from its status).
bool catches_sigint(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("State:") && line.find('Z') != std::string::npos) return true;
        if (line.starts_with("SigCgt:")) {
            return (std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGINT - 1))) != 0;
        }
    }
    return true;
}

TEST(ScanProgram, InterruptGivesStatus130AndValidJson) {
    TempDir dir;
    const std::string root = dir.make_dir("tree");
    const std::string target = dir.write_file("tree/target", "x");
    for (int d = 0; d < 200; ++d) {
        const std::string sub = dir.make_dir("tree/d" + std::to_string(d));
        for (int f = 0; f < 150; ++f) {
            ASSERT_EQ(::link(target.c_str(), (sub + "/l" + std::to_string(f)).c_str()), 0);
        }
    }
    // The signal must land after the bridge is in place and before the scan ends: it is
    // sent as soon as the program catches SIGINT, and sent again on a new run when the
    // scan had already ended.
    for (int attempt = 0; attempt < 6; ++attempt) {
        const std::string out_path = dir / ("out" + std::to_string(attempt));
        platform::Fd out(::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        platform::SpawnOptions spawn;
        spawn.program = BRAMVELT_BINARY;
        spawn.args = {"scan", "--json", "--jobs", "1", root};
        spawn.out = platform::Stdio::from_fd(out.get());
        spawn.err = platform::Stdio::null();
        auto child = platform::spawn(spawn);
        ASSERT_TRUE(child);
        ASSERT_TRUE(eventually([&] { return catches_sigint(child->pid()); }));
        ::kill(child->pid(), SIGINT);
        auto status = child->wait();
        ASSERT_TRUE(status);
        if (status->signal() || status->code() == 0) continue;  // the scan had ended
        ASSERT_EQ(status->code(), 130);
        std::ifstream in(out_path);
        std::stringstream text;
        text << in.rdbuf();
        const auto doc = nlohmann::json::parse(text.str());
        EXPECT_EQ(doc["cancelled"], true);
        EXPECT_EQ(doc["tree"]["isIncomplete"], true);
        return;
    }
    GTEST_SKIP() << "could not land the interrupt inside the scan";
}

struct Opener {
    TempDir dir;
    std::string bin;
    std::string log;
    explicit Opener(const std::string& body) {
        bin = dir.make_dir("bin");
        log = dir / "log";
        const std::string script = bin + "/xdg-open";
        std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$@\" >> " << log
                              << "\necho opener-output\necho opener-error >&2\n"
                              << body << "\n";
        ::chmod(script.c_str(), 0755);
    }
    std::string logged() const {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

TEST(OpenProgram, HandsTheAbsoluteFolderToTheOpener) {
    Opener opener("exit 0");
    const std::string folder = opener.dir.make_dir("work/project");
    const auto ok = run_bramvelt(
        {"open", "project"},
        {"", env_with({"PATH=" + opener.bin + ":/usr/bin:/bin"}), opener.dir / "work"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "") << "the opener's output never reaches ours";
    EXPECT_EQ(ok.err, "");
    EXPECT_EQ(opener.logged(), folder + "\n");
}

TEST(OpenProgram, Failures) {
    Opener failing("exit 3");
    const std::string folder = failing.dir.make_dir("f");
    const auto env = env_with({"PATH=" + failing.bin + ":/usr/bin:/bin"});
    const auto failed = run_bramvelt({"open", folder}, {"", env, ""});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "bramvelt: opening BramVelt failed: exit status: 3\n");

    const auto missing = run_bramvelt({"open", folder}, {"", env_with({"PATH=/nonexistent"}), ""});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "bramvelt: cannot open BramVelt: xdg-open was not found\n");

    failing.dir.write_file("plain");
    const auto file = run_bramvelt({"open", "plain"}, {"", env, failing.dir.path()});
    EXPECT_EQ(file.status, 1);
    EXPECT_EQ(file.err, "bramvelt: not a directory: plain\n");
    EXPECT_EQ(failing.logged(), folder + "\n");  // only the first run reached the opener
}

}  // namespace
}  // namespace bramvelt::testing
