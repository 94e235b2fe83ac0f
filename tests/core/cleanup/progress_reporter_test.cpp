#include "core/cleanup/progress_reporter.hpp"

#include <gtest/gtest.h>

#include "cleanup_fixture.hpp"

namespace bramvelt::cleanup {
namespace {

using namespace std::chrono_literals;

class ProgressReporterTest : public ::testing::Test {
  protected:
    ProgressReporterTest()
        : reporter_(
              plan_, make_cancel_flag(),
              [this](CleanupEvent event) { events_.push_back(std::move(event)); },
              [this] { return now_; }) {}

    std::size_t sent() const { return events_of<Progress>(events_).size(); }
    void report(std::string_view stage, ForceReport force = ForceReport::No) {
        emit_cleanup_progress(reporter_, stage, "/a/b", "item-0", force);
    }

    Instant now_{std::chrono::seconds(1000)};
    CleanupPlan plan_;
    std::vector<CleanupEvent> events_;
    ProgressReporter reporter_;
};

TEST_F(ProgressReporterTest, SameStageAtMostOncePer80Milliseconds) {
    report("removing");  // a new stage: at once
    EXPECT_EQ(sent(), 1u);
    now_ += 50ms;
    report("removing");
    EXPECT_EQ(sent(), 1u);
    now_ += 30ms;  // exactly 80 ms: not yet
    report("removing");
    EXPECT_EQ(sent(), 1u);
    now_ += 20ms;
    report("removing");
    EXPECT_EQ(sent(), 2u);
    now_ += 1ms;
    report("overwriting");  // stage change
    report("overwriting", ForceReport::Yes);
    EXPECT_EQ(sent(), 4u);
    now_ -= 10s;  // a clock that went back sends nothing
    report("overwriting");
    EXPECT_EQ(sent(), 4u);
    EXPECT_FALSE(progress_due(reporter_));
}

TEST_F(ProgressReporterTest, ReportCarriesStateAndSanitizedDetail) {
    reporter_.progress.items_total = 3;
    reporter_.progress.bytes_done = 7;
    emit_cleanup_progress(reporter_, "removing", "/a\tb\nc", "item-2", ForceReport::Yes);
    const auto progress = events_of<Progress>(events_);
    ASSERT_EQ(progress.size(), 1u);
    EXPECT_EQ(progress[0].progress.stage, "removing");
    EXPECT_EQ(progress[0].progress.detail, "/a b c");
    EXPECT_EQ(progress[0].progress.item_id, "item-2");
    EXPECT_EQ(progress[0].progress.items_total, 3u);
    EXPECT_EQ(progress[0].progress.bytes_done, 7u);
    // Recorded even when not sent.
    now_ += 1ms;
    emit_cleanup_progress(reporter_, "removing", std::nullopt, std::nullopt, ForceReport::No);
    EXPECT_EQ(sent(), 1u);
    EXPECT_FALSE(reporter_.progress.detail);
    EXPECT_FALSE(reporter_.progress.item_id);
}

}  // namespace
}  // namespace bramvelt::cleanup
