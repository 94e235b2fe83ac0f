#pragma once
// Folders measured by a few threads before the search reaches them: the artifact folders
// the walk queues, and the checkouts it will inspect once their status has run. Each measurement
// runs in a search state of its own, limited only by the request's entry limit and the time limit,
// and records the counters after every listing (and, in a checkout, the artifacts and nested
// checkouts it meets). Where the search would measure the folder it replays that record
// into its own counters, progress, finds and queue, and takes the result, unless a budget
// could have stopped the measurement on the way, the search is cancelled or the folder is
// no longer what was measured: then it measures the folder itself, as it always did. So
// does it when no thread could start or a measurement failed (memory ran out). The
// destructor stops every measurement and joins the threads.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
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
#include "core/development/walk_lookahead.hpp"
#include "platform/file_status.hpp"

namespace bramvelt::development {

struct MeasuredFolder {
    bool checkout = false;  // measured in Git mode, as an inspection measures
    std::uint64_t device = 0;
    platform::EntryStatus status;  // of the folder itself, without following a link
    FolderMeasurement measurement;
    std::vector<ListingMark> listings;  // counters after each listing, from zero
    ListingMark total;                  // counters at the end
    // A checkout's only: the artifacts met inside it, and the nested checkouts it hands
    // back to the search, in the order met.
    std::vector<NestedArtifactFind> nested;
    std::vector<std::string> queued;
};

class MeasureAhead {
  public:
    // Told the artifacts found inside each checkout measured ahead, so that the queries
    // their reports will need can be asked ahead too.
    using NestedFound = std::function<void(const std::string& checkout,
                                           const std::vector<NestedArtifactFind>& nested)>;
    // Told each queued folder that holds a ".git" (a directory for a main checkout, whose
    // inspection waits for the walk; anything else for one inspected when reached).
    using CheckoutFound = std::function<void(const QueuedFolder& folder, bool main_checkout)>;

    // `order` tells which queued folders the walk has taken; it outlives this.
    MeasureAhead(const DevScanRequest& request, unsigned threads, const WalkOrder& order,
                 NestedFound nested_found = {}, CheckoutFound checkout_found = {});
    ~MeasureAhead();
    MeasureAhead(const MeasureAhead&) = delete;
    MeasureAhead& operator=(const MeasureAhead&) = delete;

    // Folders the walk has queued, looked at on a pool thread: those it will measure as
    // artifacts (folders without Git that classify_artifact recognises) are measured, in
    // this order, and those holding a ".git" are told to `checkout_found`. Nothing is done
    // for one the walk has taken meanwhile.
    void consider(std::vector<QueuedFolder> folders);
    // A checkout the search will inspect, whose status has been asked and has ended: its
    // measurement must come after it, as in the inspection, since the status may read
    // files (their access times change). `later`: the inspection waits for the walk.
    void consider_checkout(const std::string& folder, bool later);
    // The walk has begun to examine `folder`, taken from the front of its queue (not
    // numbered); nothing more is guessed for it.
    void note_examined(std::string_view folder);
    // The measurement of `folder` made ahead on `device`, waiting while it runs. Nothing
    // when none was made, or none has started yet (none will start then).
    std::optional<MeasuredFolder> take(std::string_view folder, std::uint64_t device);
    // Drops what was made or is being made for `folder`.
    void forget(std::string_view folder);

  private:
    enum class Kind : std::uint8_t { Artifact, Checkout };
    struct Job;
    void work();
    void probe(const std::vector<QueuedFolder>& folders);
    void probe_one(const QueuedFolder& folder);
    void add_job(const std::string& folder, Kind kind, std::uint64_t device, bool later);
    void measure(Job& job);
    void start_threads();
    bool without_threads() const;

    const DevScanRequest request_;
    const WalkOrder& order_;
    const NestedFound nested_found_;
    const CheckoutFound checkout_found_;
    const unsigned thread_count_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable job_done_;
    bool stopping_ = false;
    // A thread could not start; no more are tried.
    bool start_failed_ = false;
    std::deque<std::vector<QueuedFolder>> probes_;
    std::deque<std::shared_ptr<Job>> soon_;
    std::deque<std::shared_ptr<Job>> later_;
    std::map<std::string, std::shared_ptr<Job>, std::less<>> jobs_;
    std::size_t waiting_results_ = 0;  // measurements done and not yet taken
    std::set<std::string, std::less<>> examined_;
    std::vector<std::thread> threads_;
};

// Measures the artifact folder `folder` on `device` in a search state of its own, as
// measure_candidate would, recording the counters listing by listing. Nothing when its
// own limits or `stop` cut it short.
std::optional<MeasuredFolder> measure_apart(const DevScanRequest& request,
                                            const std::string& folder, std::uint64_t device,
                                            const CancelFlag& stop);
// The same for a checkout, in Git mode, as its inspection would; the device is that of
// the folder with links followed.
std::optional<MeasuredFolder> measure_checkout_apart(const DevScanRequest& request,
                                                     const std::string& folder,
                                                     const CancelFlag& stop);

// Applies a measurement made ahead to the search as measuring the folder there would have:
// counters listing by listing with progress and, for a checkout (`repo` given), its
// artifacts reported and its nested checkouts queued. False, with nothing changed, when
// the entry or find limit could be reached on the way, the time is up, the search is
// cancelled, or the folder's own status or way of measuring is not the one recorded.
bool replay_measurement(DevScanState& state, const MeasuredFolder& measured,
                        const platform::EntryStatus& status, const RepoContext* repo = nullptr);

}  // namespace bramvelt::development
