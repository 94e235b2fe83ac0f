// Runs the program under a limit on its address space (setrlimit RLIMIT_AS, through
// prlimit) at a table of limits, from one where little more than loading fits to one where
// everything does. Whatever the limit, the program ends by itself, never by a signal:
// with status 1 and a text that says memory ran out, or with its whole report.
//
// A sanitizer's shadow memory cannot live under such a limit, so in a sanitized build
// the test runs the program built without sanitizers that scripts/test builds and names
// in BRAMVELT_PLAIN_PROGRAM.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/account_home.hpp"
#include "support/run_process.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::testing {
namespace {

std::optional<std::string> plain_program() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const char* named = std::getenv("BRAMVELT_PLAIN_PROGRAM");
    if (named != nullptr && *named != '\0') return std::string(named);
    return std::nullopt;
#else
    return std::string(BRAMVELT_BINARY);
#endif
}

// One JSON document. A report of megabytes is only looked at where it would be cut (its
// end); parsing it under a sanitizer would take most of the test's time.
bool parses_as_json(const std::string& text) {
    if (text.size() < (1u << 20)) return nlohmann::json::accept(text);
    return text.starts_with("{\"schemaVersion\":1,") && text.ends_with("}\n");
}

bool says_memory_ran_out(const ProcessResult& r) {
    return (r.out + r.err).find("out of memory") != std::string::npos;
}

struct Command {
    std::string name;
    // Arguments after the program's name, for the workspace `ws`.
    std::function<std::vector<std::string>(const std::string& ws)> args;
    // Whether what a successful run printed is its whole report.
    std::function<bool(const ProcessResult&)> whole;
    bool json = false;
    bool changes_workspace = false;  // then each run gets a workspace of its own
    // Limits of its own in place of the common table, in KiB.
    std::vector<unsigned> limits = {};
};

// Limits a step apart around where a scan of a few hundred MiB of system files, written
// as JSON, comes to need more than it can have: in the middle of the walk, of the
// frontier, of the report.
std::vector<unsigned> dense_limits() {
    std::vector<unsigned> limits;
    for (unsigned limit = 40 << 10; limit <= 72 << 10; limit += 1 << 10) limits.push_back(limit);
    return limits;
}

// Two Cargo projects and a web site with build outputs, and a tree of folders and files
// for the scans.
void make_workspace(const TempDir& tmp) {
    const std::string ws = "ws";
    for (const std::string project : {"rust-a", "rust-b"}) {
        tmp.write_file(ws + "/" + project + "/Cargo.toml", "[package]\nname = \"r\"\n");
        tmp.write_file(ws + "/" + project + "/src/main.rs", "fn main() {}\n");
        for (int i = 0; i < 20; ++i) {
            tmp.write_file(ws + "/" + project + "/target/debug/deps/o" + std::to_string(i),
                           std::string(3'000, 'x'));
        }
    }
    tmp.write_file(ws + "/site/package.json", "{}\n");
    tmp.write_file(ws + "/site/node_modules/left-pad/index.js", "module.exports = 1;\n");
    for (int d = 0; d < 16; ++d) {
        for (int f = 0; f < 8; ++f) {
            tmp.write_file(ws + "/tree/d" + std::to_string(d) + "/f" + std::to_string(f),
                           std::string(100, 'z'));
        }
    }
}

std::vector<Command> commands() {
    const auto json_document = [](const ProcessResult& r) { return parses_as_json(r.out); };
    return {
        {"version", [](const std::string&) { return std::vector<std::string>{"--version"}; },
         [](const ProcessResult& r) {
             return r.out.starts_with("bramvelt ") && r.out.ends_with("\n");
         }},
        {"scan text",
         [](const std::string& ws) {
             return std::vector<std::string>{"scan", ws};
         },
         [](const ProcessResult& r) { return r.out.find(" allocated · ") != std::string::npos; }},
        {"scan json",
         [](const std::string& ws) {
             return std::vector<std::string>{"scan", ws, "--json"};
         },
         json_document, true},
        {"dev",
         [](const std::string& ws) {
             return std::vector<std::string>{"dev", ws, "--json"};
         },
         json_document, true},
        {"clean dry run",
         [](const std::string& ws) {
             return std::vector<std::string>{"clean", ws, "--json"};
         },
         json_document, true},
        {"clean",
         [](const std::string& ws) {
             return std::vector<std::string>{"clean", ws, "--yes", "--delete", "--json"};
         },
         json_document, true, true},
        {"scan json of system files",
         [](const std::string&) {
             return std::vector<std::string>{"scan", "/usr/share", "--json", "--jobs", "2"};
         },
         json_document, true, false, dense_limits()},
    };
}

TEST(MemoryLimit, TheProgramEndsByItselfSayingMemoryRanOutOrWithItsWholeReport) {
    const auto program = plain_program();
    if (!program) {
        GTEST_SKIP() << "a sanitized build needs BRAMVELT_PLAIN_PROGRAM (scripts/test sets it)";
    }
    // In KiB, as prlimit and ulimit -v count. Below the first, the dynamic loader itself
    // cannot map the libraries.
    const std::vector<unsigned> limits{16'384, 20'480, 24'576, 32'768,  40'960,  49'152,
                                       65'536, 81'920, 98'304, 131'072, 196'608, 524'288};
    const char* path = std::getenv("PATH");
    TempDir shared;
    make_workspace(shared);
    int failures_told = 0;
    int reports_whole = 0;
    for (const Command& command : commands()) {
        for (const unsigned limit : command.limits.empty() ? limits : command.limits) {
            SCOPED_TRACE(command.name + " under " + std::to_string(limit) + " KiB");
            std::optional<TempDir> own;
            if (command.changes_workspace) make_workspace(own.emplace());
            const TempDir& tmp = own ? *own : shared;
            const std::string ws = tmp / "ws";
            std::vector<std::string> args{"--as=" + std::to_string(limit * 1024ull), "--",
                                          *program};
            for (auto& a : command.args(ws)) args.push_back(std::move(a));
            RunOptions options;
            options.environment = std::vector<std::string>{
                "HOME=" + account_home(), "XDG_DATA_HOME=" + (tmp / "data"),
                std::string("PATH=") + (path ? path : "/usr/bin:/bin"), "LC_ALL=C"};
            options.cwd = tmp.path();
            const ProcessResult r = run_process("/usr/bin/prlimit", args, options);

            ASSERT_LT(r.status, 128) << "ended by a signal\n" << r.err;
            if (r.status == 1) {
                EXPECT_TRUE(says_memory_ran_out(r)) << r.out << r.err;
                // One document, or the error line after output cut short.
                if (command.json && !r.out.empty() && !parses_as_json(r.out)) {
                    EXPECT_NE(r.err.find("bramvelt: "), std::string::npos) << r.err;
                }
                ++failures_told;
            } else {
                // 3: a scan met something it could not read, which it reports whole.
                EXPECT_TRUE(r.status == 0 || r.status == 3) << r.status << r.out << r.err;
                EXPECT_TRUE(command.whole(r)) << r.out << r.err;
                ++reports_whole;
            }
        }
    }
    // The table reaches both ends: limits too small to do the work, and enough.
    EXPECT_GT(failures_told, 0);
    EXPECT_GT(reports_whole, 0);
}

}  // namespace
}  // namespace bramvelt::testing
