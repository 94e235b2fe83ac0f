// The scan and open commands through the entry, in-process, with their outputs
// captured; plus the report's trimming and text form on hand-made trees.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "src/cli/entry.hpp"
#include "src/cli/scan_command.hpp"
#include "src/cli/scan_report.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::cli {
namespace {

using scan::NodeKind;
using scan::NodeList;
using scan::NodeState;
using scan::TreeNode;

struct CliRun {
    int status = 0;
    std::string out;
    std::string err;
};

CliRun cli(std::vector<std::string> args) {
    platform::StringWriter out;
    platform::StringWriter err;
    CliStreams io{out, err, false};
    CliRun r;
    r.status = cli_main(args, io);
    r.out = out.text();
    r.err = err.text();
    return r;
}

std::string file_of(const testing::TempDir& dir, std::string_view name, std::size_t size) {
    const std::string path = dir.write_file(name, std::string(size, 'x'));
    return path;
}

TEST(ScanOptions, UsageErrors) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"scan", "a", "b"}, "provide exactly one folder"},
        {{"scan", "--text", "--text", "a"}, "choose --json or --text once"},
        {{"scan", "--depth", "513", "a"}, "--depth must be 0 through 512"},
        {{"scan", "--depth", "x", "a"}, "--depth requires a nonnegative integer"},
        {{"scan", "a", "--depth"}, "--depth requires a nonnegative integer"},
        {{"scan", "--jobs", "0", "a"}, "--jobs must be 1 through 64"},
        {{"scan", "--jobs", "65", "a"}, "--jobs must be 1 through 64"},
        {{"scan", "--top", "-1", "a"}, "--top requires a nonnegative integer"},
        {{"scan", "--top", "++1", "a"}, "--top requires a nonnegative integer"},
        {{"scan", "a", "--profile"}, "--profile must be general or dev"},
        {{"scan", "--profile", "prod", "a"}, "--profile must be general or dev"},
        {{"scan", "--no-packages=1", "a"}, "unknown scan option: --no-packages=1"},
        {{"scan", "-", "a"}, "unknown scan option: -"},
        {{"scan", "--frob", "a"}, "unknown scan option: --frob"},
        {{"scan", "--text"}, "provide a folder"},
        {{"open", "-x", "a"}, "unknown open option: -x"},
        {{"open", "a", "b"}, "provide exactly one folder"},
        {{"scan", "--bad", "--help"}, "unknown scan option: --bad"},
    };
    for (const auto& c : cases) {
        const CliRun r = cli(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.err, std::string("bramvelt: ") + c.message + "\n");
        EXPECT_EQ(r.out, "");
    }
    const CliRun both = cli({"scan", "--json", "--text", "a"});
    EXPECT_EQ(both.status, 2);
    EXPECT_EQ(
        both.out,
        R"({"schemaVersion":1,"error":{"code":"invalidArguments","message":"choose --json or --text once"}})"
        "\n");
    const CliRun json = cli({"open", "--json", "a"});
    EXPECT_EQ(json.status, 2);
    EXPECT_EQ(
        json.out,
        R"({"schemaVersion":1,"error":{"code":"invalidArguments","message":"unknown open option: --json"}})"
        "\n");
}

TEST(ScanOptions, ValuesAndFolders) {
    auto parsed = parse_scan_options(
        std::vector<std::string>{"--depth=+3", "--top", "0", "--jobs", "64", "--profile=DEV",
                                 "--no-packages", "--include-links", "-i", "--", "--json"},
        ScanCommandWord::scan);
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->folder, "--json");
    EXPECT_EQ(parsed->depth, 3u);
    EXPECT_EQ(parsed->top, 0u);
    EXPECT_EQ(parsed->jobs, 64u);
    EXPECT_EQ(parsed->profile, scan::ScanProfile::Dev);
    EXPECT_FALSE(parsed->collapse_packages);
    EXPECT_FALSE(parsed->skip_links);
    EXPECT_TRUE(parsed->interactive);
    EXPECT_FALSE(parsed->json);
    auto empty_folder = parse_scan_options(std::vector<std::string>{""}, ScanCommandWord::scan);
    ASSERT_TRUE(empty_folder);
    EXPECT_EQ(empty_folder->folder, "");
    EXPECT_GE(default_scan_jobs(), 1u);
    EXPECT_LE(default_scan_jobs(), 16u);
}

TEST(ScanCommand, HelpPrintsTheUsage) {
    const CliRun r = cli({"scan", "x", "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with("BramVelt"));
}

TEST(ScanCommand, JsonReportOfARealTree) {
    testing::TempDir dir;
    const std::string root = dir.make_dir("r");
    file_of(dir, "r/a/one", 5000);
    file_of(dir, "r/two", 100);
    const CliRun r = cli({"scan", "--json", root});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(r.out.ends_with("}\n"));
    ASSERT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(r.out.substr(0, 26), R"({"schemaVersion":1,"tree":)");
    EXPECT_EQ(doc["tree"]["path"], root);
    EXPECT_EQ(doc["stats"]["filesScanned"], 2);
    EXPECT_EQ(doc["stats"]["directoriesScanned"], 2);
    EXPECT_EQ(doc["stats"]["bytesScanned"], doc["tree"]["size"]);
    EXPECT_EQ(doc["cancelled"], false);
    EXPECT_EQ(doc["incomplete"], false);
    EXPECT_EQ(doc["outputLimits"], nlohmann::json::parse(R"({"depth":null,"top":null})"));
    EXPECT_EQ(doc["omittedDetails"], nlohmann::json::array());
    EXPECT_NE(r.out.find(R"(},"stats":{"bytesScanned":)"), std::string::npos);

    // Control bytes are escaped; bytes that are not UTF-8 become U+FFFD.
    file_of(dir, "r/ctl\x01\tname", 1);
    file_of(dir, "r/bad\xFFname", 1);
    const CliRun odd = cli({"scan", "--json", root});
    ASSERT_EQ(odd.status, 0) << odd.err;
    EXPECT_NE(odd.out.find(R"("name":"ctl\u0001\tname")"), std::string::npos);
    EXPECT_NE(odd.out.find("\"name\":\"bad\xEF\xBF\xBDname\""), std::string::npos);
    EXPECT_TRUE(nlohmann::json::accept(odd.out));
    EXPECT_NE(r.out.find(R"(,"elapsedSeconds":)"), std::string::npos);
}

TEST(ScanCommand, DepthZeroHidesEverythingBelowTheRoot) {
    testing::TempDir dir;
    const std::string root = dir.make_dir("r");
    file_of(dir, "r/a", 10);
    file_of(dir, "r/b", 10);
    const CliRun json = cli({"scan", "--json", "--depth", "0", root});
    ASSERT_EQ(json.status, 0);
    const auto doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["tree"]["children"], nlohmann::json::array());
    EXPECT_EQ(doc["outputLimits"], nlohmann::json::parse(R"({"depth":0,"top":null})"));
    EXPECT_EQ(doc["omittedDetails"],
              nlohmann::json::parse(R"([{"path":")" + root +
                                    R"(","omittedChildren":2,"reason":"depth"}])"));
    const CliRun text = cli({"scan", "--depth", "0", root});
    ASSERT_EQ(text.status, 0);
    const std::string head = "  12.0 KiB  " + root + "\n  … 2 entries hidden by --depth\n\n";
    EXPECT_TRUE(text.out.starts_with(head)) << text.out;
}

TEST(ScanCommand, MissingFolderFails) {
    const CliRun text = cli({"scan", "/nonexistent/\x1b"});
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(text.err, "bramvelt: not a directory: /nonexistent/\\u{1b}\n");
    const CliRun json = cli({"scan", "--json", "/nonexistent/x"});
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(
        json.out,
        R"({"schemaVersion":1,"error":{"code":"scanFailed","message":"not a directory: /nonexistent/x"}})"
        "\n");
}

TEST(ScanCommand, InteractiveNeedsADirectoryAndATerminal) {
    testing::TempDir dir;
    for (const std::string& folder : {dir / "missing", dir.write_file("file")}) {
        const CliRun refused = cli({"scan", "-i", folder});
        EXPECT_EQ(refused.status, 2) << folder;
        EXPECT_EQ(refused.err, "bramvelt: not a directory: " + folder + "\n");
    }
    const CliRun no_terminal = cli({"scan", "--interactive", "--json", dir.path()});
    EXPECT_EQ(no_terminal.status, 2);
    EXPECT_EQ(
        no_terminal.err,
        "bramvelt: the interactive UI needs a terminal; use scan, dev or clean for scripts\n");
}

TreeNode make(std::string path, std::int64_t size, NodeList children = {}) {
    TreeNode n;
    n.path = std::move(path);
    n.size = size;
    n.kind = children.empty() ? NodeKind::File : NodeKind::Directory;
    n.children = std::move(children);
    return n;
}

TEST(TrimForOutput, CutsByDepthAndTopInPreOrder) {
    TreeNode root =
        make("/r", 100,
             {make("/r/b", 10), make("/r/a", 10),
              make("/r/d", 50, {make("/r/d/x", 1), make("/r/d/y", 2), make("/r/d/z", 3)}),
              make("/r/c", 30)});
    std::vector<OmittedDetail> omitted;
    trim_for_output(root, 0, OutputLimits{1, 3}, omitted);
    ASSERT_EQ(root.children.size(), 3u);
    EXPECT_EQ(root.children[0].path, "/r/d");
    EXPECT_EQ(root.children[1].path, "/r/c");
    EXPECT_EQ(root.children[2].path, "/r/a");  // equal sizes by path
    EXPECT_TRUE(root.children[0].children.empty());
    ASSERT_EQ(omitted.size(), 2u);
    EXPECT_EQ(omitted[0].path, "/r");
    EXPECT_EQ(omitted[0].reason, OmittedReason::top);
    EXPECT_EQ(omitted[0].omitted_children, 1u);
    EXPECT_EQ(omitted[1].path, "/r/d");
    EXPECT_EQ(omitted[1].reason, OmittedReason::depth);
    EXPECT_EQ(omitted[1].omitted_children, 3u);

    // What is cut is kept whole when asked, subtrees included.
    TreeNode again =
        make("/r", 100,
             {make("/r/b", 10), make("/r/a", 10),
              make("/r/d", 50, {make("/r/d/x", 1, {make("/r/d/x/deep", 1)}), make("/r/d/y", 2)}),
              make("/r/c", 30)});
    std::vector<OmittedDetail> records;
    TrimmedNodes trimmed;
    trim_for_output(again, 0, OutputLimits{1, 3}, records, trimmed);
    EXPECT_EQ(records.size(), 2u);
    // The former lists: the root's (its last, cut, entry intact) and /r/d's (all cut).
    ASSERT_EQ(trimmed.size(), 2u);
    ASSERT_EQ(trimmed[0].size(), 4u);
    EXPECT_EQ(trimmed[0][3].path, "/r/b");
    ASSERT_EQ(trimmed[1].size(), 2u);
    EXPECT_EQ(trimmed[1][0].path, "/r/d/y");
    EXPECT_EQ(trimmed[1][1].path, "/r/d/x");
    ASSERT_EQ(trimmed[1][1].children.size(), 1u);
    EXPECT_EQ(trimmed[1][1].children[0].path, "/r/d/x/deep");
    ASSERT_EQ(again.children.size(), 3u);
    EXPECT_EQ(again.children[2].path, "/r/a");

    TreeNode exact = make("/e", 3, {make("/e/a", 1), make("/e/b", 2)});
    std::vector<OmittedDetail> none;
    trim_for_output(exact, 0, OutputLimits{std::nullopt, 2}, none);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(exact.children.size(), 2u);
}

TEST(TreeHasProblems, SeveralThreadsLookAtEveryNodeOfALargeTree) {
    TreeNode root = make("/r", 0);
    root.kind = NodeKind::Directory;
    for (int d = 0; d < 40; ++d) {
        TreeNode dir = make("/r/d" + std::to_string(d), 0);
        dir.kind = NodeKind::Directory;
        TreeNode inner = make(std::string(dir.path) + "/inner", 0);
        inner.kind = NodeKind::Directory;
        for (int f = 0; f < 1500; ++f) {
            inner.children.push_back(make(std::string(inner.path) + "/f" + std::to_string(f), 1));
        }
        inner.file_count = 1500;
        dir.file_count = inner.file_count;
        dir.children.push_back(std::move(inner));
        root.file_count += dir.file_count;
        root.children.push_back(std::move(dir));
    }
    EXPECT_FALSE(tree_has_problems(root, 8));
    for (const auto& at : {std::pair{0, 0}, std::pair{17, 700}, std::pair{39, 1499}}) {
        TreeNode& file = root.children[at.first].children[0].children[at.second];
        file.is_readable = false;
        EXPECT_TRUE(tree_has_problems(root, 8));
        file.is_readable = true;
        file.state = NodeState::Incomplete;
        EXPECT_TRUE(tree_has_problems(root, 8));
        file.state = NodeState::Normal;
    }
    root.children[5].state = NodeState::Incomplete;
    EXPECT_TRUE(tree_has_problems(root, 8));
}

TEST(TreeHasProblems, LooksAtEveryNode) {
    TreeNode clean = make("/r", 1, {make("/r/a", 1)});
    EXPECT_FALSE(tree_has_problems(clean));
    TreeNode deep = clean;
    deep.children[0].children.push_back(make("/r/a/x", 0));
    deep.children[0].children[0].is_readable = false;
    EXPECT_TRUE(tree_has_problems(deep));
    TreeNode incomplete = clean;
    incomplete.children[0].state = NodeState::Incomplete;
    EXPECT_TRUE(tree_has_problems(incomplete));
}

TEST(TextReport, TagsHiddenLinesAndTotals) {
    scan::ScanOutcome outcome;
    outcome.tree = make("/r", 3 * 1024 * 1024, {});
    outcome.tree.kind = NodeKind::Directory;
    const auto child = [](std::string name, NodeState state, bool readable) {
        TreeNode n = make("/r/" + name, 2048);
        n.state = state;
        n.is_readable = readable;
        return n;
    };
    outcome.tree.children = {
        child("inc", NodeState::Incomplete, true),
        child("unr", NodeState::Incomplete, false),
        child("mnt", NodeState::MountPoint, true),
        child("cloud", NodeState::CloudPlaceholder, true),
        child("alias", NodeState::DirectoryAlias, true),
        child("pol", NodeState::PolicyExcluded, false),
        child("bad", NodeState::Normal, false),
        child("line\nfeed", NodeState::Normal, true),
    };
    outcome.bytes_scanned = 1536;
    outcome.files_scanned = 7;
    outcome.directories_scanned = 2;
    outcome.elapsed_seconds = 0.12345;
    outcome.cancelled = true;
    std::vector<OmittedDetail> omitted{{"/r", OmittedReason::top, 4}};
    platform::StringWriter out;
    ASSERT_TRUE(
        write_scan_report(out, outcome, ReportFormat::text, OutputLimits{2, 20}, true, omitted));
    EXPECT_EQ(out.text(),
              "   3.0 MiB  /r\n"
              "     2.0 KiB  inc [incomplete]\n"
              "     2.0 KiB  unr [unreadable]\n"
              "     2.0 KiB  mnt [mount excluded]\n"
              "     2.0 KiB  cloud [online only]\n"
              "     2.0 KiB  alias [directory alias excluded]\n"
              "     2.0 KiB  pol [policy excluded]\n"
              "     2.0 KiB  bad [unreadable]\n"
              "     2.0 KiB  line\\nfeed\n"
              "  … 4 entries hidden by --top\n"
              "\n1.5 KiB allocated · 7 files · 2 directories · 0.123s · interrupted\n");
}

TEST(JsonReport, FixedTextAndRecords) {
    scan::ScanOutcome outcome;
    outcome.tree = make("/r", 0);
    outcome.bytes_scanned = -1;
    outcome.hard_link_bytes_saved = 5;
    outcome.elapsed_seconds = 1.5;
    std::vector<OmittedDetail> omitted{{"/r\"q", OmittedReason::top, 1},
                                       {"/r/x", OmittedReason::depth, 2}};
    platform::StringWriter out;
    ASSERT_TRUE(write_scan_report(out, outcome, ReportFormat::json, OutputLimits{std::nullopt, 7},
                                  false, omitted));
    const std::string tail = out.text().substr(out.text().find(R"(,"stats")"));
    EXPECT_EQ(tail, R"(,"stats":{"bytesScanned":-1,"filesScanned":0,"directoriesScanned":0,)"
                    R"("unreadableItems":0,"hardlinkBytesSaved":5},"elapsedSeconds":1.500000,)"
                    R"("cancelled":false,"incomplete":false,"outputLimits":{"depth":null,"top":7},)"
                    R"("omittedDetails":[{"path":"/r\"q","omittedChildren":1,"reason":"top"},)"
                    R"({"path":"/r/x","omittedChildren":2,"reason":"depth"}]})"
                    "\n");
}

}  // namespace
}  // namespace bramvelt::cli

namespace bramvelt::cli {
namespace {

// A tree of some 10,000 files in folders of uneven size and depth, sizes with many ties.
scan::TreeNode synthetic_tree() {
    scan::TreeNode root;
    root.path = "/big";
    root.kind = NodeKind::Directory;
    std::uint32_t seed = 7;
    const auto next = [&] { return seed = seed * 1'103'515'245u + 12'345u; };
    std::function<void(TreeNode&, int)> fill = [&](TreeNode& dir, int depth) {
        const int files = static_cast<int>(next() % 200);
        for (int f = 0; f < files; ++f) {
            TreeNode file;
            file.path = std::string(dir.path) + "/f" + std::to_string(next() % 100'000);
            file.kind = NodeKind::File;
            file.size = 4096 * static_cast<std::int64_t>(next() % 3);
            file.file_count = 1;
            dir.size += file.size;
            dir.file_count += 1;
            dir.children.push_back(std::move(file));
        }
        const int subdirs = depth < 4 ? 2 + static_cast<int>(next() % 3) : 0;
        for (int d = 0; d < subdirs; ++d) {
            TreeNode sub;
            sub.path = std::string(dir.path) + "/d" + std::to_string(d);
            sub.kind = NodeKind::Directory;
            fill(sub, depth + 1);
            dir.size += sub.size;
            dir.file_count += sub.file_count;
            dir.children.push_back(std::move(sub));
        }
    };
    fill(root, 0);
    return root;
}

TEST(TextReport, PrintingWithinTheLimitsGivesTheTrimmedReportsBytes) {
    scan::ScanOutcome base;
    base.tree = synthetic_tree();
    base.bytes_scanned = 12345;
    const OutputLimits cases[] = {{2, 20}, {0, std::nullopt}, {std::nullopt, 3}, {3, 1}, {}};
    for (const auto& limits : cases) {
        for (const bool incomplete : {false, true}) {
            scan::ScanOutcome trimmed = base;
            std::vector<OmittedDetail> omitted;
            trim_for_output(trimmed.tree, 0, limits, omitted);
            platform::StringWriter expected;
            ASSERT_TRUE(write_scan_report(expected, trimmed, ReportFormat::text, limits, incomplete,
                                          omitted));
            scan::ScanOutcome whole = base;
            platform::StringWriter actual;
            ASSERT_TRUE(write_text_report(actual, whole, limits, incomplete));
            EXPECT_EQ(actual.text(), expected.text());
        }
    }
}

TEST(JsonReport, SegmentedWritingGivesTheSameBytes) {
    scan::ScanOutcome base;
    base.tree = synthetic_tree();
    ASSERT_GT(base.tree.file_count, 4'000);
    const OutputLimits cases[] = {
        {}, {2, std::nullopt}, {std::nullopt, 5}, {3, 50}, {0, std::nullopt}};
    for (const auto& limits : cases) {
        scan::ScanOutcome serial = base;
        std::vector<OmittedDetail> omitted;
        trim_for_output(serial.tree, 0, limits, omitted);
        platform::StringWriter expected;
        ASSERT_TRUE(
            write_scan_report(expected, serial, ReportFormat::json, limits, false, omitted));
        for (const unsigned threads : {1u, 8u}) {
            scan::ScanOutcome segments = base;
            platform::StringWriter actual;
            TrimmedNodes trimmed;
            ASSERT_TRUE(
                trim_and_write_json_report(actual, segments, limits, false, threads, trimmed));
            EXPECT_EQ(actual.text(), expected.text())
                << limits.depth.value_or(-1) << " " << limits.top.value_or(-1);
        }
    }
}

// Fails every write after the first `allowed` ones.
class LimitedWriter final : public platform::Writer {
  public:
    explicit LimitedWriter(int allowed) : allowed_(allowed) {}
    bool write(std::string_view) override { return allowed_-- > 0; }
    bool flush() override { return true; }
    int left() const { return allowed_; }

  private:
    int allowed_;
};

TEST(JsonReport, AFailedWriteStopsEveryThread) {
    int writes = 0;
    {
        scan::ScanOutcome outcome;
        outcome.tree = synthetic_tree();
        LimitedWriter out(1'000'000);
        TrimmedNodes trimmed;
        ASSERT_TRUE(trim_and_write_json_report(out, outcome, {}, false, 8, trimmed));
        writes = 1'000'000 - out.left();
    }
    ASSERT_GT(writes, 4);
    for (const int allowed : {0, 1, writes / 2, writes - 1}) {
        scan::ScanOutcome outcome;
        outcome.tree = synthetic_tree();
        LimitedWriter out(allowed);
        TrimmedNodes trimmed;
        EXPECT_FALSE(trim_and_write_json_report(out, outcome, {}, false, 8, trimmed)) << allowed;
    }
}

}  // namespace
}  // namespace bramvelt::cli
