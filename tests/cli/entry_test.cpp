#include "src/cli/entry.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "src/cli/errors.hpp"
#include "src/cli/usage.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::cli {
namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

CliRun run(const std::vector<std::string>& args, bool terminal = false) {
    platform::StringWriter out;
    platform::StringWriter err;
    CliStreams io{out, err, terminal};
    const int status = cli_main(args, io);
    return {status, out.text(), err.text()};
}

std::string json_error(std::string_view message) {
    return R"({"schemaVersion":1,"error":{"code":"invalidArguments","message":")" +
           std::string(message) + "\"}}\n";
}

TEST(Entry, UsageTextIsExact) {
    EXPECT_EQ(kUsageText.size(), 2920u);
    EXPECT_TRUE(kUsageText.starts_with("BramVelt \u2014 disk usage maps"));
    EXPECT_TRUE(kUsageText.ends_with("3 incomplete traversal, 130 interrupted.\n"));
}

struct DispatchCase {
    std::vector<std::string> args;
    int status;
    std::string out;  // "<usage>" stands for the usage text
    std::string err;
};

TEST(Entry, DispatchTable) {
    const std::string usage = "<usage>";
    const std::vector<DispatchCase> cases = {
        {{}, 0, usage, ""},
        {{"--help"}, 0, usage, ""},
        {{"-h"}, 0, usage, ""},
        {{"help"}, 0, usage, ""},
        {{"version"}, 0, "bramvelt 2.0.1\n", ""},
        {{"-V"}, 0, "bramvelt 2.0.1\n", ""},
        {{"--version"}, 0, "bramvelt 2.0.1\n", ""},
        {{"--json"}, 2, json_error("unknown command: --json"), ""},
        {{"help", "scan"}, 2, "", "bramvelt: unknown command: help\n"},
        {{"version", "x"}, 2, "", "bramvelt: unknown command: version\n"},
        {{"frob", "--json"}, 2, json_error("unknown command: frob"), ""},
        {{"frob", "--", "--json"}, 2, "", "bramvelt: unknown command: frob\n"},
        {{"Scan"}, 2, "", "bramvelt: unknown command: Scan\n"},
        {{""}, 2, "", "bramvelt: unknown command: \n"},
        {{"-"}, 2, "", "bramvelt: unknown command: -\n"},
        {{"--"}, 2, "", "bramvelt: unknown command: --\n"},
        {{"scan"}, 2, "", "bramvelt: provide a folder\n"},
        {{"open"}, 2, "", "bramvelt: provide a folder\n"},
        {{"ui", "-x"}, 2, "", "bramvelt: usage: bramvelt ui [folder]\n"},
        {{"ui", "-"}, 2, "", "bramvelt: usage: bramvelt ui [folder]\n"},
        {{"ui", "a", "b"}, 2, "", "bramvelt: usage: bramvelt ui [folder]\n"},
        {{"tui", "--", "-x"}, 2, "", "bramvelt: not a directory: -x\n"},
        {{"ui", "--", "--help"}, 0, usage, ""},
        {{"ui", "/nonexistent/folder"}, 2, "", "bramvelt: not a directory: /nonexistent/folder\n"},
        {{"ui"},
         2,
         "",
         "bramvelt: the interactive UI needs a terminal; use scan, dev or clean for scripts\n"},
        {{"ui", "--"},
         2,
         "",
         "bramvelt: the interactive UI needs a terminal; use scan, dev or clean for scripts\n"},
        {{"ui", "/"},
         2,
         "",
         "bramvelt: the interactive UI needs a terminal; use scan, dev or clean for scripts\n"},
        {{"dev", "--kind", "--help"}, 0, usage, ""},
        {{"clean", "-h"}, 0, usage, ""},
        {{"frob\x1b"}, 2, "", "bramvelt: unknown command: frob\\u{1b}\n"},
        {{"frob\x1b", "--json"}, 2, json_error("unknown command: frob\\u001b"), ""},
        {{"a\tb\nc\rd\x7f\xc2\x9b"},
         2,
         "",
         "bramvelt: unknown command: a\\tb\\nc\\rd\\u{7f}\\u{9b}\n"},
        {{"\xff"}, 2, "", "bramvelt: non-Unicode command arguments are unsupported\n"},
        {{"scan", "--json", "\xc3"},
         2,
         "",
         "bramvelt: non-Unicode command arguments are unsupported\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const CliRun r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out == usage ? std::string(kUsageText) : c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(Entry, UiAcceptsDashFolderOnlyAfterSeparator) {
    testing::TempDir dir;
    dir.make_dir("-x");
    // The folder exists, so the only thing between it and the interface is the terminal check.
    const std::string relative_dash = dir / "-x";
    const CliRun ok = run({"ui", "--", relative_dash});
    EXPECT_EQ(ok.status, 2);
    EXPECT_NE(ok.err.find("needs a terminal"), std::string::npos);
    const std::string file = dir.write_file("plain.txt", "x");
    const CliRun not_dir = run({"ui", file});
    EXPECT_EQ(not_dir.err, "bramvelt: not a directory: " + file + "\n");
}

// Arguments must be UTF-8, but the folder a link argument leads to need not be: the
// interface gets its real path as bytes.
TEST(Entry, UiFolderReachesTheInterfaceAsBytes) {
    testing::TempDir dir;
    const std::string bad = dir.make_dir("bad\xff");
    ASSERT_EQ(::symlink(bad.c_str(), (dir / "link").c_str()), 0);
    for (const auto& args : {std::vector<std::string>{"ui", dir / "link"},
                             std::vector<std::string>{"scan", "-i", dir / "link"}}) {
        SCOPED_TRACE(args[0]);
        platform::StringWriter out;
        platform::StringWriter err;
        std::optional<std::string> folder;
        CliStreams io{out, err, true};
        io.run_interface = [&](const UiOptions& options) -> std::expected<void, std::string> {
            folder = options.folder;
            return {};
        };
        EXPECT_EQ(cli_main(args, io), 0) << err.text();
        EXPECT_EQ(folder, bad);
    }
    const CliRun refused = run({"ui", bad});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, "bramvelt: non-Unicode command arguments are unsupported\n");
}

TEST(Entry, ManyAndOddArgumentsNeverCrash) {
    std::vector<std::string> many(10'000, "x");
    many[0] = "frob";
    EXPECT_EQ(run(many).status, 2);
    many[0] = "ui";
    EXPECT_EQ(run(many).err, "bramvelt: usage: bramvelt ui [folder]\n");
}

TEST(Entry, FailedUsageWriteGivesStatusOne) {
    class FailingWriter final : public platform::Writer {
      public:
        bool write(std::string_view) override { return false; }
        bool flush() override { return false; }
    } out;
    platform::StringWriter err;
    CliStreams io{out, err, false};
    EXPECT_EQ(cli_main({"--version"}, io), 1);
    EXPECT_EQ(cli_main({}, io), 1);
    // A failed error document keeps the usage status.
    EXPECT_EQ(cli_main({"frob", "--json"}, io), 2);
}

TEST(Errors, JsonStringEscapes) {
    platform::StringWriter out;
    ASSERT_TRUE(print_json_string(out, "q\"b\\t\tn\nr\r\x01\x1f\x7f\xc3\xa9"));
    EXPECT_EQ(out.text(), "\"q\\\"b\\\\t\\tn\\nr\\r\\u0001\\u001f\x7f\xc3\xa9\"");
}

}  // namespace
}  // namespace bramvelt::cli
