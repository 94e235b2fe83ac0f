#include "src/cli/clean_command.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "core/filesystem/parent_handle.hpp"
#include "core/host_trash/trash_authorization.hpp"
#include "core/policy/classification.hpp"
#include "platform/signals.hpp"
#include "src/cli/dev_json.hpp"
#include "support/eventually.hpp"
#include "support/lines.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::cli {
namespace {

namespace fs = std::filesystem;
using cleanup::CleanupEvent;
using cleanup::CleanupEventSink;
using cleanup::CleanupItemResult;
using cleanup::CleanupStatus;
using cleanup::CleanupSummary;
using cleanup::DevCleanupRequest;
using development::CandidateKind;
using development::DevCandidate;
using development::DevScanRequest;
using development::DevScanSummary;
using development::DirtyState;
using development::GitDetail;
using development::Recommendation;
using testing::lines_of;
using namespace std::chrono_literals;

constexpr std::uint64_t kNow = 2'000'000'000;
constexpr std::uint64_t kDay = 86'400;

// Waits for the interrupt watcher to copy a Ctrl-C (or another stop signal) into the
// command's flag.
void press_ctrl_c(const CancelFlag& cancel, int signal = SIGINT) {
    ASSERT_EQ(::raise(signal), 0);
    ASSERT_TRUE(testing::eventually([&] { return cancel->load(); }));
}

// Drives clean_command over real folders: the search returns fixed finds for them, and a
// fake engine plays a development cleanup run event by event, as the real one reports.
struct Harness {
    testing::TempDir tmp;
    std::string home = tmp.make_dir("home");
    std::string ws = tmp.make_dir("home/ws");
    std::unique_ptr<testing::ScopedEnv> home_env =
        std::make_unique<testing::ScopedEnv>("HOME", home.c_str());

    std::vector<DevCandidate> candidates;
    DevScanSummary summary;
    std::optional<std::string> search_error;
    bool searched = false;
    std::function<void()> on_clock;  // the command reads the clock after its search

    std::vector<DevCleanupRequest> requests;
    std::vector<std::shared_ptr<host_trash::TrashRegistry>> registries;
    std::map<std::string, std::pair<std::string, std::optional<std::string>>> failures;
    std::optional<std::string> refusal;  // every batch refused with this text
    // Of a worktree's bytes, the part a Trash run moves to the Trash (its generated
    // output); its folder is removed for good, so the worktree reads removed.
    std::map<std::string, std::uint64_t> trashed_part;
    std::function<void(std::size_t batch, std::size_t item, const CancelFlag&)> after_item;
    std::function<void(std::size_t batch, const CancelFlag&)> after_summary;
    host_trash::TrashHostSettings trash_host;
    DevCleanupRun engine;  // replaces the scripted run when set

    DevCandidate& add(const std::string& rel, CandidateKind kind, std::string tool,
                      std::uint64_t bytes, std::optional<std::uint64_t> age_days = 3) {
        DevCandidate c;
        c.path = tmp.make_dir("home/ws/" + rel);
        c.kind = kind;
        c.tool = std::move(tool);
        c.recommendation = Recommendation::Regenerable;
        c.allocated_bytes = bytes;
        c.files = 2;
        c.measurement_complete = true;
        if (age_days) c.last_modified = kNow - *age_days * kDay;
        candidates.push_back(std::move(c));
        return candidates.back();
    }

    DevCandidate& add_worktree(const std::string& rel, std::uint64_t bytes, bool clean = true) {
        DevCandidate& c = add(rel, CandidateKind::Worktree, "Git", bytes, 2);
        c.recommendation = clean ? Recommendation::ReviewRemoval : Recommendation::Keep;
        GitDetail g;
        g.repository = ws + "/repo";
        g.branch = "feature";
        g.head = "c0ffee";
        g.dirty = clean ? DirtyState::No : DirtyState::Yes;
        g.merged_into = {"main"};
        c.git = g;
        return c;
    }

    void workspace() {
        add("rust/target", CandidateKind::Build, "Cargo", 30'720);
        add("web/node_modules", CandidateKind::Dependencies, "Node packages", 10'240, 40);
        add("web/node_modules/.cache", CandidateKind::Cache, "Babel", 512);  // goes with its parent
        add("site/.next", CandidateKind::Build, "Next.js", 4'096, std::nullopt);
        add_worktree("wt-feature", 3'072);
        add_worktree("wt-dirty", 700, false);
        add("repo", CandidateKind::Repository, "Git", 99'999).recommendation = Recommendation::Keep;
    }

    std::uint64_t bytes_of(const std::string& path) const {
        for (const auto& c : candidates) {
            if (c.path == path) return c.allocated_bytes;
        }
        return 0;
    }

    void scripted_run(const DevCleanupRequest& request, const CancelFlag& cancel,
                      const CleanupEventSink& sink) {
        const std::size_t batch = requests.size() - 1;
        if (refusal) {
            sink(cleanup::Failed{"development_preflight", *refusal});
            return;
        }
        const std::size_t n = request.items.size();
        sink(cleanup::PlanStarted{std::nullopt, n, 0});
        CleanupSummary s;
        for (std::size_t i = 0; i < n; ++i) {
            const auto& item = request.items[i];
            cleanup::CleanupProgress progress;
            progress.stage = "checking_development";
            progress.detail = item.path;
            progress.item_id = item.item_id;
            progress.items_done = i;
            progress.items_total = n;
            sink(cleanup::Progress{progress});
            CleanupItemResult r;
            r.item_id = item.item_id;
            r.path = item.path;
            if (cancel->load()) {
                r.status = CleanupStatus::Cancelled;
                r.error = "Cleanup stopped.";
                ++s.cancelled_items;
            } else if (auto f = failures.find(item.path); f != failures.end()) {
                r.status = CleanupStatus::Failed;
                r.error = f->second.first;
                r.error_code = f->second.second;
                ++s.failed_items;
            } else {
                const bool to_trash = request.action.kind == cleanup::CleanupAction::Kind::Trash;
                const bool worktree = item.kind == CandidateKind::Worktree;
                r.status = to_trash && !worktree ? CleanupStatus::Trashed : CleanupStatus::Removed;
                r.processed_bytes = bytes_of(item.path);
                s.processed_bytes += r.processed_bytes;
                if (to_trash) {
                    r.trashed_bytes = worktree ? trashed_part[item.path] : r.processed_bytes;
                    s.trashed_bytes += r.trashed_bytes;
                }
                ++s.completed_items;
            }
            if (r.error) s.results.push_back(r);
            sink(cleanup::ItemFinished{r});
            progress.items_done = i + 1;
            sink(cleanup::Progress{progress});
            if (after_item) after_item(batch, i, cancel);
        }
        s.cancelled = cancel->load();
        sink(cleanup::Summary{s});
        if (after_summary) after_summary(batch, cancel);
    }

    CleanCommandEnv env() {
        CleanCommandEnv e;
        e.search.search = [this](DevScanRequest, CancelFlag, platform::Writer&,
                                 ProgressLine) -> std::expected<DevSearchResult, std::string> {
            searched = true;
            if (search_error) return std::unexpected(*search_error);
            return DevSearchResult{candidates, summary};
        };
        e.search.now = [this] {
            if (on_clock) on_clock();
            return kNow;
        };
        e.run = [this](const DevCleanupRequest& request, const CancelFlag& cancel,
                       std::shared_ptr<host_trash::TrashRegistry> registry,
                       const CleanupEventSink& sink) {
            requests.push_back(request);
            registries.push_back(registry);
            if (engine) {
                engine(request, cancel, std::move(registry), sink);
            } else {
                scripted_run(request, cancel, sink);
            }
        };
        e.trash_host = trash_host;
        return e;
    }

    struct Run {
        int status;
        std::string out;
        std::string err;
    };
    Run run(std::vector<std::string> args, platform::Writer* out_writer = nullptr) {
        args.insert(args.begin(), "clean");
        auto options = parse_dev_options(args, DevVerb::Clean);
        EXPECT_TRUE(options.has_value()) << options.error();
        platform::StringWriter out;
        platform::StringWriter err;
        const int status = clean_command(*options, out_writer ? *out_writer : out, err, env());
        return {status, out.text(), err.text()};
    }

    // The displayed form of a workspace path.
    std::string shown(const std::string& rel) const { return "~/ws/" + rel; }
    std::string path(const std::string& rel) const { return ws + "/" + rel; }
};

std::vector<std::string> keys_of(const nlohmann::json& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

// ---- before the cleanup -------------------------------------------------------------

TEST(CleanCommand, FailuresBeforeAnythingIsRemoved) {
    {
        Harness h;
        const auto r = h.run({"/nonexistent-bramvelt-folder"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(
            r.err,
            "bramvelt: /nonexistent-bramvelt-folder: No such file or directory (os error 2)\n");
        EXPECT_FALSE(h.searched);
    }
    {
        Harness h;
        testing::ScopedEnv unset("HOME", nullptr);
        const auto r = h.run({"--json", h.ws});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(
            r.out,
            R"j({"error":{"code":"contextUnavailable","message":"Cannot determine your home folder (HOME is unset)"},"schemaVersion":1})j"
            "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(h.searched);  // nothing is searched without a context
    }
    {
        Harness h;
        h.search_error = "Choose 1 through 32 absolute folders and bounded scan limits";
        const auto r = h.run({"--yes", h.ws});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "bramvelt: Choose 1 through 32 absolute folders and bounded scan limits\n");
    }
    {
        Harness h;
        h.workspace();
        h.summary.cancelled = true;
        const auto r = h.run({"--yes", "--json", h.ws});
        EXPECT_EQ(r.status, 130);
        EXPECT_EQ(
            r.out,
            R"j({"error":{"code":"interrupted","message":"Scan stopped; nothing was removed."},"schemaVersion":1})j"
            "\n");
        EXPECT_TRUE(h.requests.empty());
    }
    {
        // One refused item rejects the review, and with it the whole command.
        Harness h;
        h.workspace();
        fs::remove(h.path("rust/target"));
        const auto r = h.run({h.ws});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "bramvelt: " + h.path("rust/target") +
                             " is protected, missing or changed. Scan again before cleanup.\n");
    }
}

TEST(CleanCommand, CtrlCAfterTheSearchRemovesNothing) {
    Harness h;
    h.workspace();
    h.on_clock = [] { ASSERT_EQ(::raise(SIGINT), 0); };
    const auto r = h.run({"--yes", "--accept-caution", h.ws});
    EXPECT_EQ(r.status, 130);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "bramvelt: Interrupted before cleanup; nothing was removed.\n");
    EXPECT_TRUE(h.requests.empty());
}

TEST(CleanCommand, NothingRemovable) {
    Harness h;
    h.add_worktree("wt-dirty", 700, false);
    auto r = h.run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Nothing to clean up in usual development locations with these filters.\n");
    EXPECT_EQ(r.err, "");

    // --yes with nothing to remove is a dry run; a limited search says so in its status.
    h.summary.limited = true;
    r = h.run({"--yes", "--json", "--delete", h.ws});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(
        r.out,
        R"j({"action":"delete","bytes":0,"dryRun":true,"items":[],"schemaVersion":1,"warnings":[]})j"
        "\n");
    EXPECT_TRUE(h.requests.empty());
}

TEST(CleanCommand, DryRunListsTheRemovableItemsAndTheirWarnings) {
    Harness h;
    h.workspace();
    const std::string warning = h.path("site/.next") + ": " + std::string(policy::kHiddenData);
    auto r = h.run({h.ws});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{
                  "Would clean 3 items · 44.0 KiB:",
                  "",
                  "    30.0 KiB     3d  Cargo build output     ~/ws/rust/target",
                  "     4.0 KiB      —  Next.js build output   ~/ws/site/.next",
                  "    10.0 KiB    40d  Node packages          ~/ws/web/node_modules",
                  "",
                  "Generated output (3) would move to Trash.",
                  "",
                  "⚠ " + warning,
                  "",
                  "Dry run: nothing was changed. Re-run with --yes to proceed (and "
                  "--accept-caution for the warnings above).",
              }));

    // Every category: the worktree line follows the generated output's line directly.
    r = h.run({"--category", "all", "--delete", "--kind", "build,worktree", h.ws});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{
                  "Would clean 3 items · 37.0 KiB:",
                  "",
                  "    30.0 KiB     3d  Cargo build output     ~/ws/rust/target",
                  "     4.0 KiB      —  Next.js build output   ~/ws/site/.next",
                  "     3.0 KiB     2d  Git worktree           ~/ws/wt-feature",
                  "",
                  "Generated output (2) would delete permanently.",
                  "1 worktree would be removed permanently by git worktree remove after its "
                  "generated output; branches and history stay.",
                  "",
                  "⚠ " + warning,
                  "",
                  "Dry run: nothing was changed. Re-run with --yes to proceed (and "
                  "--accept-caution for the warnings above).",
              }));

    // Only worktrees: no generated-output line, a blank line before the worktree line.
    r = h.run({"--category", "worktree", h.ws});
    EXPECT_EQ(r.out,
              "Would clean 1 item · 3.0 KiB:\n\n"
              "     3.0 KiB     2d  Git worktree           ~/ws/wt-feature\n"
              "\n1 worktree would be removed permanently by git worktree remove after its "
              "generated output; branches and history stay.\n"
              "\nDry run: nothing was changed. Re-run with --yes to proceed.\n");
    EXPECT_TRUE(h.requests.empty());
}

TEST(CleanCommand, DryRunJson) {
    Harness h;
    h.workspace();
    h.summary.limited = true;
    const auto r = h.run({"--json", "--min-size", "5K", h.ws});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "");
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(r.out, dump_compact(doc) + "\n");
    EXPECT_EQ(keys_of(doc), (std::vector<std::string>{"action", "bytes", "dryRun", "items",
                                                      "schemaVersion", "warnings"}));
    EXPECT_EQ(doc["action"], "trash");
    EXPECT_EQ(doc["bytes"], 40'960);
    EXPECT_EQ(doc["dryRun"], true);
    EXPECT_EQ(doc["schemaVersion"], 1);
    EXPECT_EQ(doc["warnings"], nlohmann::json::array());
    ASSERT_EQ(doc["items"].size(), 2u);
    EXPECT_EQ(doc["items"][0], serialize_candidate(h.candidates[0]));
    EXPECT_EQ(doc["items"][1]["path"], h.path("web/node_modules"));
    EXPECT_EQ(doc["items"][1]["category"], "rebuildable");
}

TEST(CleanCommand, CautionGateStopsARunWithoutAcceptance) {
    Harness h;
    h.workspace();
    const std::string warning = h.path("site/.next") + ": " + std::string(policy::kHiddenData);
    auto r = h.run({"--yes", h.ws});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "bramvelt: some locations need a second look; re-run with --accept-caution after "
              "reviewing:\n  " +
                  warning + "\n");
    EXPECT_TRUE(h.requests.empty());

    r = h.run({"--yes", "--json", h.ws});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, dump_compact(nlohmann::json{
                         {"error",
                          {{"code", "cautionRequired"},
                           {"message",
                            "Some locations need a second look; re-run with --accept-caution "
                            "after reviewing them."}}},
                         {"schemaVersion", 1},
                         {"warnings", {warning}}}) +
                         "\n");
    EXPECT_TRUE(r.out.starts_with("{\"error\":"));
    EXPECT_TRUE(h.requests.empty());

    r = h.run({"--yes", "--accept-caution", h.ws});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(h.requests.size(), 1u);
    EXPECT_EQ(h.requests[0].acknowledged, policy::Acknowledgement::Given);
}

// ---- the run ------------------------------------------------------------------------

TEST(CleanCommand, RunPrintsOneLinePerItemAndTheSummary) {
    Harness h;
    h.workspace();
    h.failures[h.path("web/node_modules")] = {
        "This folder changed after review. Files kept; "
        "scan again.",
        std::nullopt};
    const auto r =
        h.run({"--yes", "--accept-caution", "--verify-remotes", "--category", "all", h.ws});
    EXPECT_EQ(r.status, 1);  // an item was kept
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{
                  "✓ trashed    30.0 KiB  ~/ws/rust/target",
                  "✓ trashed     4.0 KiB  ~/ws/site/.next",
                  "✗ kept            0 B  ~/ws/web/node_modules  — This folder changed after "
                  "review. Files kept; scan again.",
                  "✓ removed     3.0 KiB  ~/ws/wt-feature",
                  "",
                  "34.0 KiB moved to Trash · 3.0 KiB freed · 3 done · 1 kept · 0 stopped · empty "
                  "the Trash to reclaim the space",
              }));

    ASSERT_EQ(h.requests.size(), 1u);
    const DevCleanupRequest& request = h.requests[0];
    EXPECT_EQ(request.context.home, h.home);
    EXPECT_EQ(request.context.protected_paths,
              std::vector<std::string>{h.home + "/Library/Application Support/BramVelt"});
    EXPECT_EQ(request.roots, std::vector<std::string>{h.ws});
    EXPECT_EQ(request.action, cleanup::CleanupAction::trash());
    EXPECT_TRUE(request.verify_remotes);
    ASSERT_EQ(request.items.size(), 4u);
    EXPECT_EQ(request.items[3].item_id, "item-3");
    EXPECT_EQ(request.items[3].kind, CandidateKind::Worktree);
    EXPECT_EQ(request.items[3].head, std::optional<std::string>("c0ffee"));
}

TEST(CleanCommand, DeleteSaysFreedAndNeverRemindsOfTheTrash) {
    Harness h;
    h.add("rust/target", CandidateKind::Build, "Cargo", 2'048);
    auto r = h.run({"--yes", "--delete", h.ws});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "✓ removed     2.0 KiB  ~/ws/rust/target\n"
              "\n2.0 KiB freed · 1 done · 0 kept · 0 stopped\n");
    EXPECT_EQ(h.requests.at(0).action, cleanup::CleanupAction::remove());

    // A Trash run that moved nothing leaves the reminder out too.
    h.candidates[0].allocated_bytes = 0;
    r = h.run({"--yes", h.ws});
    EXPECT_EQ(r.out,
              "✓ trashed         0 B  ~/ws/rust/target\n"
              "\n0 B moved to Trash · 1 done · 0 kept · 0 stopped\n");
}

// A worktree's folder is removed for good even in a Trash run: the summary names what
// went to the Trash and what was freed, and reminds of the Trash only when something is
// there. The JSON keeps one total.
TEST(CleanCommand, WorktreeFoldersAreFreedNotMovedToTheTrash) {
    Harness h;
    h.add("rust/target", CandidateKind::Build, "Cargo", 30'720);
    h.add_worktree("wt-feature", 3'072);
    h.trashed_part[h.path("wt-feature")] = 1'024;  // its generated output
    auto r = h.run({"--yes", "--category", "all", h.ws});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "✓ trashed    30.0 KiB  ~/ws/rust/target\n"
              "✓ removed     3.0 KiB  ~/ws/wt-feature\n"
              "\n31.0 KiB moved to Trash · 2.0 KiB freed · 2 done · 0 kept · 0 stopped · empty "
              "the Trash to reclaim the space\n");
    r = h.run({"--yes", "--json", "--category", "all", h.ws});
    EXPECT_EQ(nlohmann::json::parse(r.out)["summary"]["processedBytes"], 33'792);

    // Only a worktree, with no generated output: nothing is in the Trash.
    h.candidates.erase(h.candidates.begin());
    h.trashed_part[h.path("wt-feature")] = 0;
    r = h.run({"--yes", "--category", "worktree", h.ws});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "✓ removed     3.0 KiB  ~/ws/wt-feature\n"
              "\n3.0 KiB freed · 1 done · 0 kept · 0 stopped\n");
}

TEST(CleanCommand, RefusedBatchIsAFailureText) {
    Harness h;
    h.add("rust/target", CandidateKind::Build, "Cargo", 2'048);
    h.refusal = "A selected folder changed after review. Scan again before removing it.";
    auto r = h.run({"--yes", h.ws});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\n0 B moved to Trash · 0 done · 0 kept · 0 stopped\n");
    EXPECT_EQ(r.err,
              "bramvelt: A selected folder changed after review. Scan again before removing it.\n");

    r = h.run({"--yes", "--json", h.ws});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(
        r.out,
        R"j({"action":"trash","dryRun":false,"errors":["A selected folder changed after review. Scan again before removing it."],"results":[],"schemaVersion":1,"summary":{"cancelled":false,"cancelledItems":0,"completedItems":0,"failedItems":0,"processedBytes":0}})j"
        "\n");
}

TEST(CleanCommand, RunJsonHoldsEveryResult) {
    Harness h;
    h.add("a/target", CandidateKind::Build, "Cargo", 100);
    h.add("b/target", CandidateKind::Build, "Cargo", 200);
    h.failures[h.path("b/target")] = {"Partly removed.", "development_partial"};
    const auto r = h.run({"--yes", "--json", "--delete", h.ws});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(r.out, dump_compact(doc) + "\n");
    EXPECT_EQ(keys_of(doc), (std::vector<std::string>{"action", "dryRun", "errors", "results",
                                                      "schemaVersion", "summary"}));
    EXPECT_EQ(doc["action"], "delete");
    EXPECT_EQ(doc["dryRun"], false);
    EXPECT_EQ(doc["errors"], nlohmann::json::array());
    EXPECT_EQ(doc["summary"], (nlohmann::json{{"cancelled", false},
                                              {"cancelledItems", 0},
                                              {"completedItems", 1},
                                              {"failedItems", 1},
                                              {"processedBytes", 100}}));
    ASSERT_EQ(doc["results"].size(), 2u);
    EXPECT_EQ(doc["results"][0], (nlohmann::json{{"backup_path", nullptr},
                                                 {"error", nullptr},
                                                 {"item_id", "item-0"},
                                                 {"path", h.path("a/target")},
                                                 {"processed_bytes", 100},
                                                 {"status", "removed"}}));
    EXPECT_EQ(doc["results"][1], (nlohmann::json{{"backup_path", nullptr},
                                                 {"error", "Partly removed."},
                                                 {"error_code", "development_partial"},
                                                 {"item_id", "item-1"},
                                                 {"path", h.path("b/target")},
                                                 {"processed_bytes", 0},
                                                 {"status", "failed"}}));
}

TEST(CleanCommand, ThreeHundredItemsRunInTwoBatches) {
    Harness h;
    for (int i = 0; i < 300; ++i) {
        h.add("p" + std::to_string(1000 + i) + "/target", CandidateKind::Build, "Cargo", 1'024);
    }
    auto r = h.run({h.ws});
    auto lines = lines_of(r.out);
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(lines.size(), 2u + 300u + 2u + 2u);
    EXPECT_EQ(lines[0], "Would clean 300 items · 300.0 KiB:");
    EXPECT_EQ(lines[2], "     1.0 KiB     3d  Cargo build output     ~/ws/p1000/target");
    EXPECT_EQ(lines[301], "     1.0 KiB     3d  Cargo build output     ~/ws/p1299/target");
    EXPECT_EQ(lines[303], "Generated output (300) would move to Trash.");

    r = h.run({"--yes", h.ws});
    EXPECT_EQ(r.status, 0);
    lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 302u);
    EXPECT_EQ(lines[256], "✓ trashed     1.0 KiB  ~/ws/p1256/target");
    EXPECT_EQ(lines[301],
              "300.0 KiB moved to Trash · 300 done · 0 kept · 0 stopped · empty the Trash to "
              "reclaim the space");
    ASSERT_EQ(h.requests.size(), 2u);
    EXPECT_EQ(h.requests[0].items.size(), 256u);
    EXPECT_EQ(h.requests[1].items.size(), 44u);
    // Every batch is a review of its own, ids from item-0, with a registry of its own.
    EXPECT_EQ(h.requests[1].items[0].item_id, "item-0");
    EXPECT_EQ(h.requests[1].items[0].path, h.path("p1256/target"));
    EXPECT_NE(h.registries[0], h.registries[1]);
}

TEST(CleanCommand, CtrlCMidRunStopsTheRestAndNoLaterBatchStarts) {
    Harness h;
    for (int i = 0; i < 520; ++i) {
        h.add("p" + std::to_string(1000 + i) + "/target", CandidateKind::Build, "Cargo", 1'024);
    }
    h.after_item = [](std::size_t batch, std::size_t item, const CancelFlag& cancel) {
        if (batch == 1 && item == 9) press_ctrl_c(cancel);
    };
    const auto r = h.run({"--yes", h.ws});
    EXPECT_EQ(r.status, 130);
    EXPECT_EQ(h.requests.size(), 2u);  // the third batch never starts
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 512u + 2u);
    EXPECT_EQ(lines[265], "✓ trashed     1.0 KiB  ~/ws/p1265/target");
    EXPECT_EQ(lines[266], "■ stopped         0 B  ~/ws/p1266/target  — Cleanup stopped.");
    EXPECT_EQ(lines[513],
              "266.0 KiB moved to Trash · 266 done · 0 kept · 246 stopped · empty "
              "the Trash to reclaim the space");
}

TEST(CleanCommand, CtrlCAfterABatchSummaryStillExitsInterrupted) {
    // The finished batch's summary is not cancelled, yet the next batch was skipped.
    Harness h;
    for (int i = 0; i < 300; ++i) {
        h.add("p" + std::to_string(1000 + i) + "/target", CandidateKind::Build, "Cargo", 1'024);
    }
    h.after_summary = [](std::size_t batch, const CancelFlag& cancel) {
        if (batch == 0) press_ctrl_c(cancel);
    };
    const auto r = h.run({"--yes", "--json", h.ws});
    EXPECT_EQ(r.status, 130);
    EXPECT_EQ(h.requests.size(), 1u);
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["results"].size(), 256u);  // the skipped batch's items appear nowhere
    EXPECT_EQ(doc["summary"]["cancelled"], false);
    EXPECT_EQ(doc["summary"]["completedItems"], 256);
}

// Being told to end (a time limit, a closed terminal) stops the run as Ctrl-C does, with
// every item reported; once the run is over, the signals end the process again.
TEST(CleanCommand, EndingSignalsMidRunStopAfterTheCurrentItem) {
    for (const int signal : {SIGTERM, SIGHUP}) {
        Harness h;
        for (int i = 0; i < 3; ++i) {
            h.add("p" + std::to_string(i) + "/target", CandidateKind::Build, "Cargo", 1'024);
        }
        h.after_item = [signal](std::size_t, std::size_t item, const CancelFlag& cancel) {
            if (item == 0) press_ctrl_c(cancel, signal);
        };
        const auto r = h.run({"--yes", h.ws});
        EXPECT_EQ(r.status, 128 + signal);
        EXPECT_EQ(lines_of(r.out),
                  (std::vector<std::string>{
                      "✓ trashed     1.0 KiB  ~/ws/p0/target",
                      "■ stopped         0 B  ~/ws/p1/target  — Cleanup stopped.",
                      "■ stopped         0 B  ~/ws/p2/target  — Cleanup stopped.",
                      "",
                      "1.0 KiB moved to Trash · 1 done · 0 kept · 2 stopped · empty the Trash "
                      "to reclaim the space",
                  }));
        struct sigaction now {};
        ASSERT_EQ(::sigaction(signal, nullptr, &now), 0);
        EXPECT_EQ(now.sa_handler, SIG_DFL) << signal;
    }
}

TEST(CleanCommand, RunStoppedByTheEngineIsAFailureNotAnInterrupt) {
    Harness h;
    for (int i = 0; i < 300; ++i) {
        h.add("p" + std::to_string(1000 + i) + "/target", CandidateKind::Build, "Cargo", 1'024);
    }
    // An unconfirmed move to the Trash: that item fails and the engine cancels the rest.
    h.failures[h.path("p1001/target")] = {
        "The item left its place but the move to the Trash "
        "was not confirmed.",
        "native_trash_indeterminate"};
    h.after_item = [](std::size_t batch, std::size_t item, const CancelFlag& cancel) {
        if (batch == 0 && item == 1) cancel->store(true);
    };
    auto r = h.run({"--yes", "--json", h.ws});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(h.requests.size(), 1u);
    auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["summary"]["cancelled"], true);
    EXPECT_EQ(doc["summary"]["completedItems"], 1);
    EXPECT_EQ(doc["summary"]["failedItems"], 1);
    EXPECT_EQ(doc["summary"]["cancelledItems"], 254);
    EXPECT_EQ(doc["results"][1]["error_code"], "native_trash_indeterminate");

    // Stopped by the engine without any failed item: still not an interrupt.
    h.failures.clear();
    h.requests.clear();
    r = h.run({"--yes", h.ws});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        r.out.ends_with("\n2.0 KiB moved to Trash · 2 done · 0 kept · 254 stopped · empty "
                        "the Trash to reclaim the space\n"))
        << r.out;
}

class FailingWriter final : public platform::Writer {
  public:
    bool write(std::string_view) override { return false; }
    bool flush() override { return false; }
};

// A run's status tells what happened on disk, so a lost report does not change it; a dry
// run's report is all it does, so losing it is a failure.
TEST(CleanCommand, ClosedStandardOutputFailsOnlyTheDryRun) {
    Harness h;
    h.add("a/target", CandidateKind::Build, "Cargo", 100);
    FailingWriter closed;
    auto r = h.run({"--yes", "--delete", h.ws}, &closed);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(h.requests.size(), 1u);  // the run went ahead
    for (const auto& args : std::vector<std::vector<std::string>>{
             {h.ws}, {"--json", h.ws}, {"--kind", "cache", h.ws}}) {
        SCOPED_TRACE(args.front());
        r = h.run(args, &closed);
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_EQ(h.requests.size(), 1u);
}

// The batch's own registry reaches the sink, which moves the item with the Trash host.
TEST(CleanCommand, TrashRequestsAreServedFromTheBatchRegistry) {
    platform::ignore_sigpipe();
    Harness h;
    testing::ScopedEnv data("XDG_DATA_HOME", (h.tmp / "data").c_str());
    h.trash_host.program = std::string(BRAMVELT_BINARY_DIR) + "/bramvelt-trash-host";
    h.add("rust/target", CandidateKind::Build, "Cargo", 4'096);
    h.tmp.write_file("home/ws/rust/target/app", "binary");
    h.engine = [](const DevCleanupRequest& request, const CancelFlag& cancel,
                  std::shared_ptr<host_trash::TrashRegistry> registry,
                  const CleanupEventSink& sink) {
        const auto& item = request.items.at(0);
        auto parent = filesystem::open_parent_dir(item.path).value();
        auto authorization =
            std::make_shared<host_trash::TrashAuthorization>(host_trash::TrashAuthorizationFields{
                .context = request.context,
                .parent = std::move(parent),
                .identity = item.identity,
                .item_id = item.item_id,
                .path = item.path,
                .token = host_trash::new_trash_token().value(),
                .issued_at = host_trash::Clock::now(),
                .tree_recheck = [](std::string_view, const CancelFlag&, policy::Acknowledgement)
                    -> std::expected<void, host_trash::TreeRecheckFailure> { return {}; },
                .cancel = cancel,
                .acknowledged = request.acknowledged,
            });
        registry->insert(item.item_id, authorization);
        sink(cleanup::NativeTrashRequest{item.identity, item.item_id, item.path,
                                         authorization->token()});
        registry->remove(item.item_id);
        CleanupItemResult r;
        r.item_id = item.item_id;
        r.path = item.path;
        r.status = authorization->state() == host_trash::TrashState::Trashed
                       ? CleanupStatus::Trashed
                       : CleanupStatus::Failed;
        if (r.status == CleanupStatus::Failed) r.error = authorization->message().value_or("?");
        r.processed_bytes = r.status == CleanupStatus::Trashed ? 4'096 : 0;
        r.trashed_bytes = r.processed_bytes;
        sink(cleanup::ItemFinished{r});
        CleanupSummary s;
        s.completed_items = r.status == CleanupStatus::Trashed ? 1 : 0;
        s.failed_items = 1 - s.completed_items;
        s.processed_bytes = r.processed_bytes;
        s.trashed_bytes = r.trashed_bytes;
        sink(cleanup::Summary{s});
    };
    const auto r = h.run({"--yes", h.ws});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out,
              "✓ trashed     4.0 KiB  ~/ws/rust/target\n"
              "\n4.0 KiB moved to Trash · 1 done · 0 kept · 0 stopped · empty the Trash to "
              "reclaim the space\n");
    EXPECT_FALSE(fs::exists(h.path("rust/target")));
    EXPECT_TRUE(fs::exists(h.tmp / "data/Trash/files/target/app"));
}

TEST(CleanCommand, CountsAndResultRecords) {
    Harness h;
    h.workspace();
    std::vector<const DevCandidate*> refs;
    for (const auto& c : h.candidates) refs.push_back(&c);
    EXPECT_EQ(count_worktrees(refs), 2u);
    EXPECT_EQ(clean_results_json({}), nlohmann::json::array());
}

}  // namespace
}  // namespace bramvelt::cli
