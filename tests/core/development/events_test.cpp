// Reporting through the search state: the candidate cap, the progress throttle and the
// warning list.

#include <gtest/gtest.h>

#include "core/development/state.hpp"
#include "dev_fixture.hpp"

namespace bramvelt::development {
namespace {

// Records every event it receives.
struct RecordingSink final : DevScanSink {
    std::vector<DevScanEvent> events;
    void on_event(DevScanEvent e) override { events.push_back(std::move(e)); }
};

DevCandidate find(std::string path) {
    DevCandidate c;
    c.path = std::move(path);
    c.recommendation = Recommendation::Regenerable;
    return c;
}

TEST(DevEmitCandidate, CapsAtTwoThousand) {
    RecordingSink sink;
    DevScanState state({{"/r"}, 8, 100, false}, {"/r"}, make_cancel_flag(), sink);
    state.summary.candidates = 1999;
    emit_candidate(state, find("/r/a"));
    EXPECT_EQ(state.summary.candidates, 2000u);
    EXPECT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(state.kept_candidates.size(), 1u);
    EXPECT_FALSE(state.summary.limited);

    emit_candidate(state, find("/r/b"));
    EXPECT_EQ(state.summary.candidates, 2000u);
    EXPECT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(state.kept_candidates.size(), 1u);
    EXPECT_TRUE(state.summary.limited);
}

TEST(DevEmitCandidate, ListSinkKeepsCopiesOnly) {
    CandidateListSink sink;
    DevScanState state({{"/r"}, 8, 100, false}, {"/r"}, make_cancel_flag(), sink);
    emit_candidate(state, find("/r/a"));
    emit_progress(state);
    ASSERT_EQ(sink.candidates().size(), 1u);
    EXPECT_EQ(sink.candidates()[0].path, "/r/a");
    EXPECT_EQ(state.kept_candidates.size(), 1u);
}

TEST(DevEmitProgress, ThrottledFromTheEndOfTheLastDelivery) {
    testing::ManualClock clock;
    RecordingSink sink;
    DevScanState state({{"/r"}, 8, 100, false}, {"/r"}, make_cancel_flag(), sink, clock.fn());
    emit_progress(state);  // nothing before 250 ms after the start
    EXPECT_TRUE(sink.events.empty());

    clock.advance(std::chrono::milliseconds(250));
    state.summary.limited = true;
    state.summary.entries_examined = 7;
    emit_progress(state);
    ASSERT_EQ(sink.events.size(), 1u);
    const auto& p = std::get<DevScanEvent::Progress>(sink.events[0].value).summary;
    EXPECT_EQ(p.elapsed_ms, 250u);
    EXPECT_EQ(p.entries_examined, 7u);
    EXPECT_TRUE(p.limited);
    EXPECT_FALSE(p.cancelled);
    EXPECT_EQ(p.candidate_bytes, 0u);
    EXPECT_EQ(p.roots, std::vector<std::string>{"/r"});

    clock.advance(std::chrono::milliseconds(100));
    emit_progress(state);
    clock.advance(std::chrono::milliseconds(100));
    emit_progress(state);
    EXPECT_EQ(sink.events.size(), 1u);
    clock.advance(std::chrono::milliseconds(50));
    emit_progress(state);
    EXPECT_EQ(sink.events.size(), 2u);
}

TEST(DevWarnings, DistinctAndAtMostSixteen) {
    RecordingSink sink;
    DevScanState state({{"/r"}, 8, 100, false}, {"/r"}, make_cancel_flag(), sink);
    add_scan_warning(state, "same");
    add_scan_warning(state, "same");
    EXPECT_EQ(state.summary.warnings.size(), 1u);
    for (int i = 0; i < 20; ++i) add_scan_warning(state, "w" + std::to_string(i));
    ASSERT_EQ(state.summary.warnings.size(), 16u);
    EXPECT_EQ(state.summary.warnings[0], "same");
    EXPECT_EQ(state.summary.warnings[15], "w14");
}

}  // namespace
}  // namespace bramvelt::development
