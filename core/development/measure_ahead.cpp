#include "core/development/measure_ahead.hpp"

#include <algorithm>
#include <atomic>

#include "core/development/ahead_threads.hpp"
#include "core/development/artifact_candidate.hpp"
#include "core/development/classify.hpp"
#include "core/filesystem/byte_path.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::development {
namespace {

using platform::FollowFinalLink;

constexpr std::size_t kMaxWaitingResults = 256;

// Events of a measurement made ahead go nowhere: the search replays its record.
class NullSink final : public DevScanSink {
  public:
    void on_event(DevScanEvent) override {}
};

// What the walk will do with a queued folder when it reaches it (the tests of examining a
// folder, in their order, from the Git test on: the walk's listing saw a directory): measure
// it as an artifact, inspect it at once, or inspect it once the folder queue has run dry.
enum class Fate : std::uint8_t { Other, Artifact, Checkout, MainCheckout };

Fate fate_of(const std::string& folder) {
    if (!platform::is_valid_utf8(folder)) {
        return Fate::Other;
    }
    const auto dot_git =
        platform::status_of_path(filesystem::path_join(folder, ".git"), FollowFinalLink::yes);
    if (dot_git || is_git_dir(folder)) {
        return dot_git && dot_git->is_directory() ? Fate::MainCheckout : Fate::Checkout;
    }
    return classify_artifact(folder) ? Fate::Artifact : Fate::Other;
}

// The fields of a folder's own status that its measurement starts from.
bool same_folder(const platform::EntryStatus& a, const platform::EntryStatus& b) {
    return a.mode == b.mode && a.device == b.device && a.inode == b.inode && a.blocks == b.blocks &&
           a.mtime_seconds == b.mtime_seconds && a.mtime_nanoseconds == b.mtime_nanoseconds;
}

}  // namespace

struct MeasureAhead::Job {
    enum class State : std::uint8_t { Waiting, Running, Done, Gone };
    std::string folder;
    Kind kind = Kind::Artifact;
    std::uint64_t device = 0;
    bool later = false;
    State state = State::Waiting;
    CancelFlag abandoned = make_cancel_flag();
    std::optional<MeasuredFolder> result;
};

MeasureAhead::MeasureAhead(const DevScanRequest& request, unsigned threads, const WalkOrder& order,
                           NestedFound nested_found, CheckoutFound checkout_found)
    : request_(request),
      order_(order),
      nested_found_(std::move(nested_found)),
      checkout_found_(std::move(checkout_found)),
      thread_count_(std::max(threads, 1u)) {}

// With the lock held. Threads start with the first work, so a search that has none starts
// none; the destructor joins those that started. Once one cannot start no more are
// tried: the pool does with those it has, and with none at all nothing more is looked at
// ahead (a measurement not started is made by the search).
void MeasureAhead::start_threads() {
    while (!start_failed_ && threads_.size() < thread_count_) {
        start_failed_ = !start_ahead_thread(threads_, [this] { work(); });
    }
}

bool MeasureAhead::without_threads() const {
    return start_failed_ && threads_.empty();
}

MeasureAhead::~MeasureAhead() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& [folder, job] : jobs_) {
            job->abandoned->store(true);
        }
    }
    work_ready_.notify_all();
    for (auto& thread : threads_) {
        thread.join();
    }
}

void MeasureAhead::consider(std::vector<QueuedFolder> folders) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || without_threads()) return;
        probes_.push_back(std::move(folders));
        start_threads();
    }
    work_ready_.notify_one();
}

void MeasureAhead::consider_checkout(const std::string& folder, bool later) {
    std::lock_guard lock(mutex_);
    if (!stopping_ && !without_threads() && !jobs_.contains(folder)) {
        add_job(folder, Kind::Checkout, 0, later);
    }
}

void MeasureAhead::note_examined(std::string_view folder) {
    std::lock_guard lock(mutex_);
    examined_.emplace(folder);
}

// With the lock held.
void MeasureAhead::add_job(const std::string& folder, Kind kind, std::uint64_t device, bool later) {
    auto job = std::make_shared<Job>();
    job->folder = folder;
    job->kind = kind;
    job->device = device;
    job->later = later;
    jobs_.emplace(folder, job);
    (later ? later_ : soon_).push_back(std::move(job));
    start_threads();
    work_ready_.notify_one();
}

void MeasureAhead::work() {
    std::unique_lock lock(mutex_);
    const auto drop_gone = [](std::deque<std::shared_ptr<Job>>& queue) {
        while (!queue.empty() && queue.front()->state != Job::State::Waiting) {
            queue.pop_front();
        }
        return !queue.empty();
    };
    for (;;) {
        work_ready_.wait(lock, [&] {
            // Measurements wait while enough results wait to be taken: the walk may never
            // get that far before its budget is spent.
            const bool room = waiting_results_ < kMaxWaitingResults;
            const bool soon = room && drop_gone(soon_);
            const bool later = room && drop_gone(later_);
            return stopping_ || !probes_.empty() || soon || later;
        });
        if (stopping_) {
            return;
        }
        // Probes first: they find the measurements, in the order the walk will want them.
        if (!probes_.empty()) {
            std::vector<QueuedFolder> folders = std::move(probes_.front());
            probes_.pop_front();
            lock.unlock();
            probe(folders);
            lock.lock();
            continue;
        }
        auto& queue = soon_.empty() ? later_ : soon_;
        const std::shared_ptr<Job> job = std::move(queue.front());
        queue.pop_front();
        job->state = Job::State::Running;
        lock.unlock();
        measure(*job);
        lock.lock();
        // A forgotten job was marked under this lock, so its result is never counted.
        if (job->result && !job->abandoned->load()) {
            job->state = Job::State::Done;
            ++waiting_results_;
        } else {
            job->state = Job::State::Gone;
            job->result.reset();
        }
        job_done_.notify_all();
    }
}

void MeasureAhead::probe(const std::vector<QueuedFolder>& folders) {
    for (const auto& folder : folders) {
        if (order_.taken(folder.place)) {
            continue;  // the walk is there already
        }
        // A folder whose look failed (memory ran out) gets nothing ahead: the walk does
        // what it needs when it gets there.
        try {
            probe_one(folder);
        } catch (...) {  // NOLINT(bugprone-empty-catch): nothing was promised for it
        }
    }
}

void MeasureAhead::probe_one(const QueuedFolder& folder) {
    job_failure_point_for_testing();
    const Fate fate = fate_of(folder.path);
    if ((fate == Fate::Checkout || fate == Fate::MainCheckout) && checkout_found_) {
        checkout_found_(folder, fate == Fate::MainCheckout);
    }
    if (fate != Fate::Artifact) {
        return;
    }
    std::lock_guard lock(mutex_);
    // Decided under the lock that the walk's own take holds, so a folder the walk has
    // taken gets no measurement.
    if (stopping_ || order_.taken(folder.place) || examined_.contains(folder.path) ||
        jobs_.contains(folder.path)) {
        return;
    }
    add_job(folder.path, Kind::Artifact, folder.device, false);
}

// A measurement that fails (memory ran out) leaves no result: the search measures the
// folder itself.
void MeasureAhead::measure(Job& job) {
    try {
        job_failure_point_for_testing();
        job.result = job.kind == Kind::Artifact
                         ? measure_apart(request_, job.folder, job.device, job.abandoned)
                         : measure_checkout_apart(request_, job.folder, job.abandoned);
        if (job.result && !job.result->nested.empty() && nested_found_) {
            nested_found_(job.folder, job.result->nested);
        }
    } catch (...) {
        job.result.reset();
    }
}

std::optional<MeasuredFolder> MeasureAhead::take(std::string_view folder, std::uint64_t device) {
    std::unique_lock lock(mutex_);
    const auto it = jobs_.find(folder);
    if (it == jobs_.end()) {
        return std::nullopt;
    }
    const std::shared_ptr<Job> job = it->second;
    jobs_.erase(it);
    if (job->state == Job::State::Waiting) {
        job->state = Job::State::Gone;
        return std::nullopt;
    }
    job_done_.wait(lock, [&] { return job->state != Job::State::Running; });
    if (job->state != Job::State::Done) {
        return std::nullopt;
    }
    job->state = Job::State::Gone;
    --waiting_results_;
    work_ready_.notify_one();
    if (job->result->device != device) {
        return std::nullopt;
    }
    return std::move(job->result);
}

void MeasureAhead::forget(std::string_view folder) {
    std::lock_guard lock(mutex_);
    const auto it = jobs_.find(folder);
    if (it == jobs_.end()) {
        return;
    }
    Job& job = *it->second;
    job.abandoned->store(true);
    if (job.state == Job::State::Done) {
        --waiting_results_;
        work_ready_.notify_one();
    }
    if (job.state != Job::State::Running) {
        job.state = Job::State::Gone;
        job.result.reset();
    }
    jobs_.erase(it);
}

namespace {

// Measures in a search state of its own; nothing when anything stopped it early, since
// that could stop the search's own measurement elsewhere.
template <typename Measure>
std::optional<MeasuredFolder> measure_in_own_state(const DevScanRequest& request,
                                                   const CancelFlag& stop, bool checkout,
                                                   Measure&& run) {
    NullSink sink;
    DevScanState own(request, request.roots, stop, sink);
    MeasuredFolder measured;
    own.listing_marks = &measured.listings;
    if (checkout) {
        own.nested_finds = &measured.nested;
    }
    if (!run(own, measured)) {
        return std::nullopt;
    }
    if (own.summary.limited || own.cancelled()) {
        return std::nullopt;
    }
    measured.total = {own.summary.entries_examined, own.summary.directories_listed,
                      own.summary.skipped_paths};
    // Pushed at the front one by one: the queue holds them last first.
    for (auto it = own.folder_queue.rbegin(); it != own.folder_queue.rend(); ++it) {
        measured.queued.push_back(it->first);
    }
    return measured;
}

}  // namespace

std::optional<MeasuredFolder> measure_apart(const DevScanRequest& request,
                                            const std::string& folder, std::uint64_t device,
                                            const CancelFlag& stop) {
    return measure_in_own_state(request, stop, false, [&](DevScanState& own, MeasuredFolder& m) {
        const auto st = platform::status_of_path(folder, FollowFinalLink::no);
        if (!st) {
            return false;  // the search counts the failure itself
        }
        HardLinkSet links;
        m.device = device;
        m.status = *st;
        m.measurement = measure_folder(own, folder, *st, device, nullptr, links, GitMode::Off);
        return true;
    });
}

std::optional<MeasuredFolder> measure_checkout_apart(const DevScanRequest& request,
                                                     const std::string& folder,
                                                     const CancelFlag& stop) {
    return measure_in_own_state(request, stop, true, [&](DevScanState& own, MeasuredFolder& m) {
        const auto st = platform::status_of_path(folder, FollowFinalLink::no);
        if (!st) {
            return false;
        }
        const auto followed = platform::status_of_path(folder, FollowFinalLink::yes);
        HardLinkSet links;
        const RepoContext repo{folder, std::nullopt};
        m.checkout = true;
        m.device = followed ? followed->device : 0;
        m.status = *st;
        m.measurement = measure_folder(own, folder, *st, m.device, &repo, links, GitMode::On);
        return true;
    });
}

bool replay_measurement(DevScanState& state, const MeasuredFolder& measured,
                        const platform::EntryStatus& status, const RepoContext* repo) {
    auto& s = state.summary;
    // Every budget test on the way sees at most the entries counted at the end and the
    // finds reported by then.
    if (!same_folder(measured.status, status) ||
        s.entries_examined + measured.total.entries_examined >= state.request.max_entries ||
        s.candidates + measured.nested.size() >= kMaxCandidates ||
        state.elapsed() >= kSearchTimeLimit || state.cancelled() ||
        measured.checkout != (repo != nullptr)) {
        return false;
    }
    const ListingMark start{s.entries_examined, s.directories_listed, s.skipped_paths};
    const auto apply = [&](const ListingMark& mark) {
        s.entries_examined = start.entries_examined + mark.entries_examined;
        s.directories_listed = start.directories_listed + mark.directories_listed;
        s.skipped_paths = start.skipped_paths + mark.skipped_paths;
    };
    auto nested = measured.nested.begin();
    for (std::size_t i = 0; i < measured.listings.size(); ++i) {
        apply(measured.listings[i]);
        emit_progress(state);
        for (; nested != measured.nested.end() && nested->listings_before == i + 1; ++nested) {
            build_artifact_candidate(state, nested->path, nested->kind, nested->tool,
                                     nested->measurement, repo);
        }
    }
    apply(measured.total);
    for (const auto& folder : measured.queued) {
        state.folder_queue.emplace_front(folder, 0);
    }
    return true;
}

}  // namespace bramvelt::development
