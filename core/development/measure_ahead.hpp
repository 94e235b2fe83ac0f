#pragma once
// Artifact folders measured by a few threads before the walk reaches them. Each
// measurement runs in a search state of its own, limited only by the request's entry
// limit and the time limit, and records the counters after every listing. When the walk
// reaches the folder it replays those listings into its own counters (and progress), and
// takes the result, unless a budget could have stopped the measurement on the way or the
// search is cancelled: then it measures the folder itself, as it always did. The
// destructor stops every measurement and joins the threads.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/development/measure.hpp"
#include "core/development/state.hpp"
#include "core/development/types.hpp"

namespace bramvelt::development {

struct MeasuredFolder {
    std::uint64_t device = 0;
    FolderMeasurement measurement;
    std::vector<ListingMark> listings;  // counters after each listing, from zero
    ListingMark total;                  // counters at the end
};

class MeasureAhead {
  public:
    MeasureAhead(const DevScanRequest& request, unsigned threads);
    ~MeasureAhead();
    MeasureAhead(const MeasureAhead&) = delete;
    MeasureAhead& operator=(const MeasureAhead&) = delete;

    // Folders the walk has queued: each that the walk would measure as an artifact (a
    // folder without Git that classify_artifact recognises) is measured, in this order.
    void consider(std::vector<std::string> folders);
    // The walk has begun to examine `folder`; nothing is measured for it from now on.
    void note_examined(std::string_view folder);
    // The measurement of `folder` made ahead on `device`, waiting while it runs. Nothing
    // when none was made, or none has started yet (none will start then).
    std::optional<MeasuredFolder> take(std::string_view folder, std::uint64_t device);
    // Drops what was made or is being made for `folder`.
    void forget(std::string_view folder);

  private:
    struct Job;
    void work();
    void probe(const std::vector<std::string>& folders);
    void measure(Job& job);

    const DevScanRequest request_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable job_done_;
    bool stopping_ = false;
    std::deque<std::vector<std::string>> probes_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::map<std::string, std::shared_ptr<Job>, std::less<>> jobs_;
    std::set<std::string, std::less<>> examined_;
    std::vector<std::thread> threads_;
};

// Measures `folder` (an artifact on `device`) in a search state of its own, as
// measure_candidate would, recording the counters listing by listing. Nothing when its
// own limits or `stop` cut it short.
std::optional<MeasuredFolder> measure_apart(const DevScanRequest& request,
                                            const std::string& folder, std::uint64_t device,
                                            const CancelFlag& stop);

// Applies a measurement made ahead to the search as measuring the folder there would have
// (counters listing by listing, with progress); false, with nothing changed, when the
// entry limit could be reached on the way, the search is out of time or cancelled.
bool replay_measurement(DevScanState& state, const MeasuredFolder& measured);

}  // namespace bramvelt::development
