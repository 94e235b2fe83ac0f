#include "src/cli/dev_sink.hpp"

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace bramvelt::cli {
namespace {

using development::DevCandidate;
using development::DevScanEvent;
using development::DevScanSummary;
using development::Recommendation;

DevCandidate candidate(std::string path, Recommendation recommendation) {
    DevCandidate c;
    c.path = std::move(path);
    c.recommendation = recommendation;
    return c;
}

TEST(CliDevSink, SamePathReplacesInPlace) {
    platform::StringWriter err;
    CliDevSink sink(err, ProgressLine::Hidden);
    sink.on_event({DevScanEvent::Candidate{candidate("/a", Recommendation::Review)}});
    sink.on_event({DevScanEvent::Candidate{candidate("/b", Recommendation::Keep)}});
    sink.on_event({DevScanEvent::Candidate{candidate("/a", Recommendation::Regenerable)}});
    sink.on_event(
        {DevScanEvent::Candidate{candidate("/a/", Recommendation::Keep)}});  // another text
    ASSERT_EQ(sink.candidates().size(), 3u);
    EXPECT_EQ(sink.candidates()[0].path, "/a");
    EXPECT_EQ(sink.candidates()[0].recommendation, Recommendation::Regenerable);
    EXPECT_EQ(sink.candidates()[1].path, "/b");
    EXPECT_EQ(sink.candidates()[2].path, "/a/");
}

TEST(CliDevSink, ProgressLineOnlyWhenEnabled) {
    DevScanSummary progress;
    progress.candidates = 12;
    progress.entries_examined = 34567;
    {
        platform::StringWriter err;
        CliDevSink sink(err, ProgressLine::Shown);
        sink.on_event({DevScanEvent::Progress{progress}});
        EXPECT_EQ(err.text(), "\r\x1b[2KSearching… 12 candidates · 34567 entries");
        sink.finish_progress();
        EXPECT_TRUE(err.text().ends_with("entries\r\x1b[2K"));
        EXPECT_EQ(sink.summary(), DevScanSummary{});  // progress is not stored
    }
    {
        platform::StringWriter err;
        CliDevSink sink(err, ProgressLine::Hidden);
        sink.on_event({DevScanEvent::Progress{progress}});
        sink.finish_progress();
        EXPECT_TRUE(err.text().empty());
    }
}

TEST(CliDevSink, FinishedStoresTheSummary) {
    platform::NullWriter err;
    CliDevSink sink(err, ProgressLine::Shown);
    DevScanSummary done;
    done.candidates = 3;
    done.limited = true;
    done.warnings = {"w"};
    sink.on_event({DevScanEvent::Finished{done}});
    EXPECT_EQ(sink.summary(), done);
}

TEST(CliDevSearch, ErrorsDropEverythingAndResultsCarryTheSummary) {
    platform::StringWriter err;
    auto bad = run_cli_dev_search({{"relative"}, 8, 2'000'000, false}, make_cancel_flag(), err,
                                  ProgressLine::Shown);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), "An absolute path is required");
    EXPECT_EQ(err.text(), "\r\x1b[2K");  // the progress line is erased even so

    testing::TempDir tmp;
    tmp.write_file("p/Cargo.toml", "");
    tmp.make_dir("p/target");
    auto ok = run_cli_dev_search({{tmp.path()}, 8, 2'000'000, false}, make_cancel_flag(), err,
                                 ProgressLine::Hidden);
    ASSERT_TRUE(ok) << ok.error();
    ASSERT_EQ(ok->candidates.size(), 1u);
    EXPECT_EQ(ok->candidates[0].path, tmp / "p/target");
    EXPECT_EQ(ok->summary.candidates, 1u);
    EXPECT_EQ(ok->summary.roots, std::vector<std::string>{tmp.path()});
}

}  // namespace
}  // namespace bramvelt::cli
