#include "src/cli/dev_command.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "src/cli/entry.hpp"
#include "support/lines.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::cli {
namespace {

using development::CandidateKind;
using development::DevCandidate;
using development::DevScanRequest;
using development::DevScanSummary;
using development::DirtyState;
using development::GitDetail;
using development::Recommendation;

constexpr std::uint64_t kNow = 2'000'000'000;
constexpr std::uint64_t kDay = 86'400;

DevCandidate make(std::string path, CandidateKind kind, std::string tool, Recommendation rec,
                  std::uint64_t bytes, std::optional<std::uint64_t> age_days = std::nullopt) {
    DevCandidate c;
    c.path = std::move(path);
    c.kind = kind;
    c.tool = std::move(tool);
    c.recommendation = rec;
    c.allocated_bytes = bytes;
    c.files = 3;
    c.measurement_complete = true;
    if (age_days) c.last_modified = kNow - *age_days * kDay;
    return c;
}

DevCandidate worktree(std::string path, std::string branch, std::vector<std::string> merged,
                      std::uint64_t bytes) {
    DevCandidate c = make(std::move(path), CandidateKind::Worktree, "Git",
                          Recommendation::ReviewRemoval, bytes, 2);
    GitDetail g;
    g.repository = "/home/me/src/repo";
    g.branch = std::move(branch);
    g.head = "abc123";
    g.dirty = DirtyState::No;
    g.merged_into = std::move(merged);
    c.git = g;
    return c;
}

// Runs dev_command on a fixed set of finds, recording what the search was asked.
struct Harness {
    std::vector<DevCandidate> candidates;
    DevScanSummary summary;
    std::optional<std::string> search_error;
    bool err_is_terminal = false;
    std::optional<DevScanRequest> request;
    std::optional<ProgressLine> progress;
    std::unique_ptr<testing::ScopedEnv> home =
        std::make_unique<testing::ScopedEnv>("HOME", "/home/me");

    DevCommandEnv env() {
        DevCommandEnv e;
        e.search = [this](DevScanRequest r, CancelFlag, platform::Writer&,
                          ProgressLine p) -> std::expected<DevSearchResult, std::string> {
            request = r;
            progress = p;
            if (search_error) return std::unexpected(*search_error);
            return DevSearchResult{candidates, summary};
        };
        e.now = [] { return kNow; };
        e.err_is_terminal = err_is_terminal;
        return e;
    }

    struct Run {
        int status;
        std::string out;
        std::string err;
    };
    Run run(const std::vector<std::string>& args) {
        auto options = parse_dev_options(args, DevVerb::Dev);
        EXPECT_TRUE(options.has_value());
        platform::StringWriter out;
        platform::StringWriter err;
        const int status = dev_command(*options, out, err, env());
        return {status, out.text(), err.text()};
    }
};

using testing::lines_of;

TEST(DevCommand, NothingFoundShowsEverySectionEmpty) {
    Harness h;
    h.summary.entries_examined = 1'234;
    h.summary.directories_listed = 5;
    h.summary.elapsed_ms = 1'250;
    const auto r = h.run({"dev"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "Development cleanup · usual development locations\n\n"
              "Can be rebuilt — 0 items · 0 B\n\n"
              "Worktrees to review — 0 items · 0 B\n\n"
              "Keep for now — 0 items · 0 B\n\n"
              "Space to review: 0 B\n"
              "0 candidates · 1234 entries · 5 folders · 0 git checks · 1.2s\n");
    // No folder means the usual places, searched with the fixed limits.
    ASSERT_TRUE(h.request);
    EXPECT_EQ(h.request->roots, std::vector<std::string>{"/"});
    EXPECT_EQ(h.request->max_depth, 8u);
    EXPECT_EQ(h.request->max_entries, 2'000'000u);
    EXPECT_FALSE(h.request->verify_remotes);
}

Harness rich_workspace() {
    Harness h;
    auto partial = make("/home/me/src/app/.cache", CandidateKind::Cache, "Gradle",
                        Recommendation::Regenerable, 4'096, 400);
    partial.measurement_complete = false;
    auto dirty = worktree("/home/me/wt/dirty", "wip\x1b", {"main"}, 700);
    dirty.git->dirty = DirtyState::Yes;
    dirty.recommendation = Recommendation::Keep;
    h.candidates = {
        make("/home/me/src/app", CandidateKind::Dependencies, "Node packages",
             Recommendation::Regenerable, 10'240, 40),
        make("/home/me/src/app/dist", CandidateKind::Build, "Vite", Recommendation::Regenerable,
             2'048, 3),
        make("/opt/other/target", CandidateKind::Build, "Cargo", Recommendation::Regenerable, 1'000,
             70),
        worktree("/home/me/wt/feature", "feature", {"main", "dev"}, 3'072),
        partial,
        dirty,
        make("/tmp/agent-run.log", CandidateKind::Temporary, "Agent scratch file",
             Recommendation::Review, 2'000'000),
    };
    h.summary.candidates = 7;
    h.summary.entries_examined = 99;
    h.summary.directories_listed = 12;
    h.summary.git_commands = 4;
    h.summary.elapsed_ms = 56;
    h.summary.warnings = {"first note", "second note"};
    return h;
}

TEST(DevCommand, TextReportLineByLine) {
    Harness h = rich_workspace();
    const auto r = h.run({"dev", "/", "--top", "1"});
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> expected = {
        "Development cleanup · usual development locations",
        "",
        // The nested dist is listed but counted once inside its parent.
        "Can be rebuilt — 3 items · 11.0 KiB",
        "    10.0 KiB    40d  Node packages          ~/src/app",
        "  … 2 more (use --top N)",
        "",
        "Worktrees to review — 1 item · 3.0 KiB",
        "     3.0 KiB     2d  Git worktree           ~/wt/feature  ⎇ feature (merged into main, "
        "dev)",
        "",
        "Keep for now — 3 items · 1.9 MiB",
        "     1.9 MiB      —  Needs investigation    /tmp/agent-run.log",
        "  … 2 more (use --top N)",
        "",
        "Space to review: 14.0 KiB",
        "7 candidates · 99 entries · 12 folders · 4 git checks · 0.1s",
        "note: first note",
        "note: second note",
        "",
        "Preview a cleanup with `bramvelt clean`, or review interactively with `bramvelt dev -i`.",
    };
    EXPECT_EQ(lines_of(r.out), expected);

    const auto all = h.run({"dev", "--sort", "oldest", "--category", "keep"});
    const std::vector<std::string> keep = {
        "Development cleanup · usual development locations",
        "",
        "Keep for now — 3 items · 1.9 MiB",
        "    ≥4.0 KiB   13mo  Partial scan           ~/src/app/.cache",
        "       700 B     2d  Local changes          ~/wt/dirty  ⎇ wip\\u{1b}",
        "     1.9 MiB      —  Needs investigation    /tmp/agent-run.log",
        "",
        "Space to review: 0 B",
        "7 candidates · 99 entries · 12 folders · 4 git checks · 0.1s",
        "note: first note",
        "note: second note",
    };
    EXPECT_EQ(lines_of(all.out), keep);
}

TEST(DevCommand, TopZeroAndFilters) {
    Harness h = rich_workspace();
    const auto r = h.run({"dev", "--top", "0", "--category", "rebuildable,worktree"});
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{
                                   "Development cleanup · usual development locations",
                                   "",
                                   "Can be rebuilt — 3 items · 11.0 KiB",
                                   "  … 3 more (use --top N)",
                                   "",
                                   "Worktrees to review — 1 item · 3.0 KiB",
                                   "  … 1 more (use --top N)",
                                   "",
                                   "Space to review: 14.0 KiB",
                                   "7 candidates · 99 entries · 12 folders · 4 git checks · 0.1s",
                                   "note: first note",
                                   "note: second note",
                                   "",
                                   "Preview a cleanup with `bramvelt clean`, or review "
                                   "interactively with `bramvelt dev -i`.",
                               }));

    // Kind, age and size filters narrow the listed items before the categories.
    const auto narrowed =
        h.run({"dev", "--kind", "build", "--older-than", "60d", "--min-size", "1000"});
    EXPECT_NE(narrowed.out.find("Can be rebuilt — 1 item · 1000 B\n"
                                "      1000 B    2mo  Cargo build output     /opt/other/target\n"),
              std::string::npos)
        << narrowed.out;
}

TEST(DevCommand, JsonDocument) {
    Harness h = rich_workspace();
    h.candidates[2].path = "/opt/bad\xff/target";
    h.candidates[2].last_access_estimate = 77;
    h.summary.roots = {"/home/me/src", "/opt"};
    h.summary.candidate_bytes = 5;
    h.summary.limited = true;
    const auto r = h.run({"dev", "--json", "--top", "1"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(h.progress, ProgressLine::Hidden);
    ASSERT_TRUE(r.out.ends_with("}\n"));
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
    EXPECT_EQ(r.out.find(": "), std::string::npos);
    EXPECT_TRUE(r.out.starts_with("{\"candidates\":[{\"allocated_bytes\":2000000,"));

    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["schemaVersion"], 1);
    EXPECT_EQ(doc["reviewableBytes"], 14'312);
    EXPECT_EQ(doc["roots"], nlohmann::json({"/home/me/src", "/opt"}));
    EXPECT_EQ(doc["candidates"].size(), 7u);  // --top does not apply
    const auto& summary = doc["summary"];
    EXPECT_EQ(summary.dump(),
              R"({"cancelled":false,"candidate_bytes":5,"candidates":7,"directories_listed":12,)"
              R"("elapsed_ms":56,"entries_examined":99,"git_commands":4,"limited":true,)"
              R"("roots":["/home/me/src","/opt"],"skipped_paths":0,)"
              R"("warnings":["first note","second note"]})");

    const auto find = [&](std::string_view path) {
        for (const auto& c : doc["candidates"]) {
            if (c["path"] == path) return c;
        }
        ADD_FAILURE() << path;
        return nlohmann::json();
    };
    const auto cargo = find("/opt/bad\uFFFD/target");
    EXPECT_EQ(cargo.dump(),
              R"({"allocated_bytes":1000,"category":"rebuildable","files":3,"git":null,)"
              R"("kind":"build","last_access_estimate":77,"last_modified":)" +
                  std::to_string(kNow - 70 * kDay) +
                  R"(,"measurement_complete":true,"path":"/opt/bad�/target","reasons":[],)"
                  R"("recommendation":"regenerable","status":"Rebuildable","tool":"Cargo"})");
    const auto feature = find("/home/me/wt/feature");
    EXPECT_EQ(feature["category"], "worktree");
    EXPECT_EQ(feature["status"], "Commits preserved");
    EXPECT_EQ(feature["git"].dump(),
              R"({"branch":"feature","cached_remote_refs":[],"dirty":false,"head":"abc123",)"
              R"("ignored_unknown":0,"last_commit":null,"last_fetch":null,)"
              R"("last_git_activity":null,"locked":false,"merged_into":["main","dev"],)"
              R"("modified":0,"operation_in_progress":false,"partial_history":false,)"
              R"("remote_checked_at":null,"repository":"/home/me/src/repo","shallow":false,)"
              R"("staged":0,"untracked":0,"verified_remote_refs":[]})");
    EXPECT_EQ(feature["git"].size(), 19u);
    EXPECT_EQ(find("/home/me/wt/dirty")["git"]["dirty"], true);

    // Only Keep listed: nothing is reviewable.
    const auto keep = nlohmann::json::parse(h.run({"dev", "--json", "--category", "keep"}).out);
    EXPECT_EQ(keep["reviewableBytes"], 0);
    for (const auto& c : keep["candidates"]) EXPECT_EQ(c["category"], "keep");
    EXPECT_EQ(keep["candidates"].size(), 3u);

    auto not_established = rich_workspace();
    not_established.candidates = {worktree("/w", "b", {}, 1)};
    not_established.candidates[0].git->dirty = DirtyState::NotEstablished;
    const auto ne = nlohmann::json::parse(not_established.run({"dev", "--json"}).out);
    EXPECT_TRUE(ne["candidates"][0]["git"]["dirty"].is_null());
    EXPECT_EQ(ne["candidates"][0]["status"], "Checks incomplete");
}

TEST(DevCommand, StatusOfStoppedAndLimitedSearches) {
    struct Case {
        bool cancelled;
        bool limited;
        int status;
        std::string tail;
    };
    for (const auto& c : std::vector<Case>{{false, false, 0, "0.0s\n"},
                                           {false, true, 3, "0.0s · limited\n"},
                                           {true, false, 130, "0.0s · stopped\n"},
                                           {true, true, 130, "0.0s · limited · stopped\n"}}) {
        Harness h;
        h.summary.cancelled = c.cancelled;
        h.summary.limited = c.limited;
        const auto r = h.run({"dev"});
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.out.ends_with(c.tail)) << r.out;
        const auto json = h.run({"dev", "--json"});
        EXPECT_EQ(json.status, c.status);
        EXPECT_EQ(nlohmann::json::parse(json.out)["summary"]["cancelled"], c.cancelled);
    }
}

TEST(DevCommand, FailuresAsLinesOrDocuments) {
    Harness h;
    h.search_error = "Choose 1 through 32 absolute folders and bounded scan limits";
    auto r = h.run({"dev"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "bramvelt: Choose 1 through 32 absolute folders and bounded scan limits\n");
    r = h.run({"dev", "--json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              R"({"error":{"code":"scanFailed","message":"Choose 1 through 32 absolute folders )"
              R"(and bounded scan limits"},"schemaVersion":1})"
              "\n");

    // Control characters are escaped and bytes that are not UTF-8 replaced in both forms.
    h.search_error = "bad\x1b\xff";
    r = h.run({"dev"});
    EXPECT_EQ(r.err, "bramvelt: bad\\u{1b}\uFFFD\n");
    r = h.run({"dev", "--json"});
    EXPECT_EQ(r.out,
              "{\"error\":{\"code\":\"scanFailed\",\"message\":\"bad\\u001b\uFFFD\"},"
              "\"schemaVersion\":1}\n");

    testing::TempDir dir;
    const std::string missing = dir / "missing\ttab";
    Harness h2;
    r = h2.run({"dev", "--json", missing});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(h2.request);  // nothing was searched
    EXPECT_EQ(nlohmann::json::parse(r.out)["error"]["code"], "invalidArguments");
    EXPECT_EQ(nlohmann::json::parse(r.out)["error"]["message"],
              dir / "missing\\ttab: No such file or directory (os error 2)");
    r = h2.run({"dev", dir.write_file("file")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "bramvelt: not a directory: " + (dir / "file") + "\n");
}

// A writer that accepts a fixed number of bytes, then fails for good.
class ShortWriter final : public platform::Writer {
  public:
    explicit ShortWriter(std::size_t room) : room_(room) {}
    bool write(std::string_view bytes) override {
        if (failed_ || bytes.size() > room_) {
            failed_ = true;
            return false;
        }
        room_ -= bytes.size();
        text += bytes;
        return true;
    }
    bool flush() override { return !failed_; }
    std::string text;

  private:
    std::size_t room_;
    bool failed_ = false;
};

TEST(DevCommand, OutputFailureEndsTheReportWithStatusOne) {
    Harness h = rich_workspace();
    h.summary.limited = true;  // the write failure wins over the run status
    auto options = parse_dev_options(std::vector<std::string>{"dev"}, DevVerb::Dev);
    for (const std::size_t room : {0, 60, 400}) {
        ShortWriter out(room);
        platform::StringWriter err;
        EXPECT_EQ(dev_command(*options, out, err, h.env()), 1) << room;
        EXPECT_LE(out.text.size(), room);
    }
    options->json = true;
    ShortWriter out(10);
    platform::StringWriter err;
    EXPECT_EQ(dev_command(*options, out, err, h.env()), 1);
}

TEST(DevCommand, ProgressLineOnlyForTextAtATerminal) {
    struct Case {
        bool terminal;
        bool json;
        ProgressLine progress;
    };
    for (const auto& c : std::vector<Case>{{false, false, ProgressLine::Hidden},
                                           {true, false, ProgressLine::Shown},
                                           {true, true, ProgressLine::Hidden}}) {
        Harness h;
        h.err_is_terminal = c.terminal;
        h.run(c.json ? std::vector<std::string>{"dev", "--json"} : std::vector<std::string>{"dev"});
        EXPECT_EQ(h.progress, c.progress);
    }
}

TEST(DevCommand, RealSearchErasesItsProgressLine) {
    testing::TempDir dir;
    testing::ScopedEnv home("HOME", dir.make_dir("home").c_str());
    dir.write_file("proj/Cargo.toml", "[package]\n");
    dir.write_file("proj/target/debug/out", std::string(5'000, 'x'));
    auto options = parse_dev_options(std::vector<std::string>{"dev", dir.path()}, DevVerb::Dev);
    DevCommandEnv env = real_dev_command_env();
    env.err_is_terminal = true;
    platform::StringWriter out;
    platform::StringWriter err;
    EXPECT_EQ(dev_command(*options, out, err, env), 0);
    EXPECT_TRUE(err.text().ends_with("\r\x1b[2K")) << err.text();
    EXPECT_NE(out.text().find("Can be rebuilt — 1 item"), std::string::npos) << out.text();

    env.err_is_terminal = false;
    err.clear();
    EXPECT_EQ(dev_command(*options, out, err, env), 0);
    EXPECT_EQ(err.text(), "");
}

struct EntryRun {
    int status;
    std::string out;
    std::string err;
};

// The interface is never started for real: its options are recorded instead.
EntryRun entry(const std::vector<std::string>& args, bool terminal = false,
               std::optional<UiOptions>* started = nullptr) {
    platform::StringWriter out;
    platform::StringWriter err;
    CliStreams io{out, err, terminal,
                  [started](const UiOptions& options) -> std::expected<void, std::string> {
                      if (started != nullptr) *started = options;
                      return {};
                  }};
    const int status = cli_main(args, io);
    return {status, out.text(), err.text()};
}

TEST(DevCommand, EntryHandsOverParsedOptions) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"dev", "--top", "x", "--json"},
         2,
         R"({"schemaVersion":1,"error":{"code":"invalidArguments","message":"--top requires a nonnegative integer"}})"
         "\n",
         ""},
        {{"dev", "--top", "x", "--", "--json"},
         2,
         "",
         "bramvelt: --top requires a nonnegative integer\n"},
        {{"dev", "--yes"}, 2, "", "bramvelt: unknown dev option: --yes\n"},
        {{"clean", "--category", "keep"},
         2,
         "",
         "bramvelt: --category must be rebuildable, worktree or all, not keep\n"},
        {{"clean", "--yes", "/nonexistent-bramvelt-folder"},
         2,
         "",
         "bramvelt: /nonexistent-bramvelt-folder: No such file or directory (os error 2)\n"},
        {{"dev", "-i", "nowhere", "--kind", "build"},
         2,
         "",
         "bramvelt: the interactive UI needs a terminal; use scan, dev or clean for scripts\n"},
        {{"dev", "--interactive"}, 0, "", ""},
    };
    for (const auto& c : cases) {
        const bool terminal = c.args.back() == "--interactive";
        const auto r = entry(c.args, terminal);
        EXPECT_EQ(r.status, c.status) << c.args[1];
        EXPECT_EQ(r.out, c.out) << c.args[1];
        EXPECT_EQ(r.err, c.err) << c.args[1];
    }
    std::optional<UiOptions> started;
    EXPECT_EQ(entry({"dev", "-i", "--verify-remotes", "/a", "/b"}, true, &started).status, 0);
    ASSERT_TRUE(started);
    EXPECT_EQ(started->dev_folders, (std::vector<std::string>{"/a", "/b"}));
    EXPECT_TRUE(started->verify_remotes);
    EXPECT_FALSE(started->folder);
}

}  // namespace
}  // namespace bramvelt::cli
