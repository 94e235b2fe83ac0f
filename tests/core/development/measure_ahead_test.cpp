// A measurement made apart and replayed into the search changes the search's counters, and
// reports progress, exactly as measuring the folder there does; when a budget could stop
// it on the way, nothing is replayed.

#include "core/development/measure_ahead.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "dev_fixture.hpp"

namespace bramvelt::development {
namespace {

// Counters of every Progress event.
struct ProgressSink final : DevScanSink {
    std::vector<ListingMark> seen;
    void on_event(DevScanEvent e) override {
        if (auto* p = std::get_if<DevScanEvent::Progress>(&e.value)) {
            seen.push_back({p->summary.entries_examined, p->summary.directories_listed,
                            p->summary.skipped_paths});
        }
    }
};

class DevMeasureAheadTest : public testing::DevTest {
  protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) {
            const std::string d = "ws/node_modules/p" + std::to_string(i);
            tmp.write_file(d + "/index.js", "x");
            tmp.write_file(d + "/lib/a.js", "x");
        }
        tmp.make_dir("ws/node_modules/empty/inner");
        folder = tmp / "ws/node_modules";
        device = platform::status_of_path(folder, platform::FollowFinalLink::no)->device;
    }
    // A search state whose clock moves 250 ms at every reading, so every listing reports.
    struct Search {
        ProgressSink sink;
        std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
        DevScanState state;
        Search(const std::string& root, std::uint64_t max_entries)
            : state(DevScanRequest{{root}, 8, max_entries, false}, {root}, make_cancel_flag(), sink,
                    [this] { return now += std::chrono::milliseconds(250); }) {}
    };
    std::string folder;
    std::uint64_t device = 0;
};

TEST_F(DevMeasureAheadTest, ReplayIsTheMeasurementInPlace) {
    const DevScanRequest request{{tmp / "ws"}, 8, 2'000'000, false};
    const auto apart = measure_apart(request, folder, device, make_cancel_flag());
    ASSERT_TRUE(apart);
    EXPECT_EQ(apart->listings.size(), apart->total.directories_listed);

    Search in_place(tmp / "ws", 2'000'000);
    Search replayed(tmp / "ws", 2'000'000);
    for (Search* s : {&in_place, &replayed}) {
        s->state.summary.entries_examined = 7;  // what the walk counted before
        s->state.summary.skipped_paths = 2;
    }
    HardLinkSet links;
    const FolderMeasurement m = measure_candidate(in_place.state, folder, device, nullptr, links);
    ASSERT_TRUE(replay_measurement(replayed.state, *apart, apart->status));
    EXPECT_EQ(apart->measurement.allocated_bytes, m.allocated_bytes);
    EXPECT_EQ(apart->measurement.files, m.files);
    EXPECT_EQ(apart->measurement.complete, m.complete);
    EXPECT_EQ(apart->measurement.last_modified, m.last_modified);
    EXPECT_EQ(apart->measurement.last_access, m.last_access);
    // Only the time differs: the measurement in place reads the clock at every test.
    replayed.state.summary.elapsed_ms = in_place.state.summary.elapsed_ms = 0;
    EXPECT_EQ(replayed.state.summary, in_place.state.summary);
    EXPECT_FALSE(in_place.sink.seen.empty());
    EXPECT_EQ(replayed.sink.seen, in_place.sink.seen);
}

// The entry limit reached on the way, the time limit passed or a cancelled search: the
// search measures the folder itself.
TEST_F(DevMeasureAheadTest, NothingReplayedWhereABudgetCouldStopIt) {
    const DevScanRequest request{{tmp / "ws"}, 8, 2'000'000, false};
    const auto apart = measure_apart(request, folder, device, make_cancel_flag());
    ASSERT_TRUE(apart);
    const std::uint64_t entries = apart->total.entries_examined;

    Search fits(tmp / "ws", entries + 11);
    fits.state.summary.entries_examined = 10;
    EXPECT_TRUE(replay_measurement(fits.state, *apart, apart->status));

    Search reaches(tmp / "ws", entries + 10);
    reaches.state.summary.entries_examined = 10;
    const DevScanSummary before = reaches.state.summary;
    EXPECT_FALSE(replay_measurement(reaches.state, *apart, apart->status));
    EXPECT_EQ(reaches.state.summary, before);
    EXPECT_TRUE(reaches.sink.seen.empty());

    Search late(tmp / "ws", 2'000'000);
    late.now += std::chrono::seconds(120);
    EXPECT_FALSE(replay_measurement(late.state, *apart, apart->status));

    Search cancelled(tmp / "ws", 2'000'000);
    cancelled.state.cancel->store(true);
    EXPECT_FALSE(replay_measurement(cancelled.state, *apart, apart->status));

    // A measurement its own limit or a stop cut short is not offered at all.
    const DevScanRequest small{{tmp / "ws"}, 8, entries - 1, false};
    EXPECT_FALSE(measure_apart(small, folder, device, make_cancel_flag()));
    CancelFlag stop = make_cancel_flag();
    stop->store(true);
    EXPECT_FALSE(measure_apart(request, folder, device, stop));
}

// A checkout measured apart: its artifacts are reported (their ownership asked of Git)
// and its nested checkouts queued where the replay reaches them, as in place.
TEST_F(DevMeasureAheadTest, CheckoutReplayReportsAndQueuesAsInPlace) {
    const std::string repo = make_repo("ws/repo");
    tmp.write_file("ws/repo/.gitignore", "target/\n");
    tmp.write_file("ws/repo/Cargo.toml", "");
    tmp.write_file("ws/repo/target/debug/app", "bin");
    tmp.write_file("ws/repo/web/package.json", "{}");
    tmp.write_file("ws/repo/web/node_modules/m/index.js", "x");
    make_repo("ws/repo/nested");
    make_repo("ws/repo/web/nested2");
    const DevScanRequest request{{tmp / "ws"}, 8, 2'000'000, false};
    const auto apart = measure_checkout_apart(request, repo, make_cancel_flag());
    ASSERT_TRUE(apart);
    ASSERT_EQ(apart->nested.size(), 2u);
    EXPECT_EQ(apart->queued.size(), 2u);

    const auto own = platform::status_of_path(repo, platform::FollowFinalLink::no);
    ASSERT_TRUE(own);
    struct Run {
        Search search;
        RepoContext context;
        Run(const std::string& root, const std::string& repo)
            : search(root, 2'000'000), context{repo, std::vector<std::string>{"Cargo.toml"}} {}
    };
    Run in_place(tmp / "ws", repo);
    Run replayed(tmp / "ws", repo);
    HardLinkSet links;
    const FolderMeasurement m = measure_folder(in_place.search.state, repo, *own, apart->device,
                                               &in_place.context, links, GitMode::On);
    ASSERT_TRUE(replay_measurement(replayed.search.state, *apart, *own, &replayed.context));
    EXPECT_EQ(apart->measurement.allocated_bytes, m.allocated_bytes);
    EXPECT_EQ(apart->measurement.complete, m.complete);
    EXPECT_EQ(apart->measurement.last_modified, m.last_modified);
    EXPECT_EQ(replayed.search.state.kept_candidates, in_place.search.state.kept_candidates);
    EXPECT_EQ(replayed.search.state.folder_queue, in_place.search.state.folder_queue);
    replayed.search.state.summary.elapsed_ms = in_place.search.state.summary.elapsed_ms = 0;
    EXPECT_EQ(replayed.search.state.summary, in_place.search.state.summary);
    EXPECT_EQ(replayed.search.state.summary.git_commands, 2u);  // one check-ignore each
    EXPECT_EQ(replayed.search.sink.seen, in_place.search.sink.seen);

    // Measured as a checkout, replayed only as one; and only for the folder as it was.
    EXPECT_FALSE(replay_measurement(replayed.search.state, *apart, *own));
    platform::EntryStatus changed = *own;
    ++changed.mtime_seconds;
    EXPECT_FALSE(replay_measurement(replayed.search.state, *apart, changed, &replayed.context));
    // The finds it would report count against the limit of finds.
    Run crowded(tmp / "ws", repo);
    crowded.search.state.summary.candidates = kMaxCandidates - 2;
    EXPECT_FALSE(replay_measurement(crowded.search.state, *apart, *own, &crowded.context));
}

}  // namespace
}  // namespace bramvelt::development
