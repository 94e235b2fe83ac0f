#include "core/development/measure_ahead.hpp"

#include <algorithm>
#include <atomic>

#include "core/development/classify.hpp"
#include "core/development/search.hpp"
#include "core/filesystem/byte_path.hpp"
#include "platform/file_status.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::development {
namespace {

using platform::FollowFinalLink;

// Events of a measurement made ahead go nowhere: the search replays its counters.
class NullSink final : public DevScanSink {
  public:
    void on_event(DevScanEvent) override {}
};

// The device of a folder the walk would measure as an artifact when it reaches it (the
// tests of examining a folder, in their order); nothing for any other entry.
std::optional<std::uint64_t> artifact_device(const std::string& folder) {
    const auto st = platform::status_of_path(folder, FollowFinalLink::no);
    if (!st || !st->is_directory() || !platform::is_valid_utf8(folder)) {
        return std::nullopt;
    }
    if (platform::status_of_path(filesystem::path_join(folder, ".git"), FollowFinalLink::yes) ||
        is_git_dir(folder) || !classify_artifact(folder)) {
        return std::nullopt;
    }
    return st->device;
}

}  // namespace

struct MeasureAhead::Job {
    enum class State : std::uint8_t { Waiting, Running, Done, Gone };
    std::string folder;
    std::uint64_t device = 0;
    State state = State::Waiting;
    CancelFlag abandoned = make_cancel_flag();
    std::optional<MeasuredFolder> result;
};

MeasureAhead::MeasureAhead(const DevScanRequest& request, unsigned threads) : request_(request) {
    const unsigned count = std::max(threads, 1u);
    threads_.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        threads_.emplace_back([this] { work(); });
    }
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

void MeasureAhead::consider(std::vector<std::string> folders) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        probes_.push_back(std::move(folders));
    }
    work_ready_.notify_one();
}

void MeasureAhead::note_examined(std::string_view folder) {
    std::lock_guard lock(mutex_);
    examined_.emplace(folder);
}

void MeasureAhead::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [&] {
            while (!queue_.empty() && queue_.front()->state != Job::State::Waiting) {
                queue_.pop_front();
            }
            return stopping_ || !probes_.empty() || !queue_.empty();
        });
        if (stopping_) {
            return;
        }
        // Probes first: they find the measurements, in the order the walk will want them.
        if (!probes_.empty()) {
            std::vector<std::string> folders = std::move(probes_.front());
            probes_.pop_front();
            lock.unlock();
            probe(folders);
            lock.lock();
            continue;
        }
        const std::shared_ptr<Job> job = std::move(queue_.front());
        queue_.pop_front();
        job->state = Job::State::Running;
        lock.unlock();
        measure(*job);
        lock.lock();
        job->state = job->result ? Job::State::Done : Job::State::Gone;
        job_done_.notify_all();
    }
}

void MeasureAhead::probe(const std::vector<std::string>& folders) {
    for (const auto& folder : folders) {
        std::optional<std::uint64_t> device;
        try {
            device = artifact_device(folder);
        } catch (...) {
        }
        if (!device) {
            continue;
        }
        std::lock_guard lock(mutex_);
        if (stopping_ || examined_.contains(folder) || jobs_.contains(folder)) {
            continue;
        }
        auto job = std::make_shared<Job>();
        job->folder = folder;
        job->device = *device;
        jobs_.emplace(folder, job);
        queue_.push_back(std::move(job));
        work_ready_.notify_one();
    }
}

void MeasureAhead::measure(Job& job) {
    try {
        job.result = measure_apart(request_, job.folder, job.device, job.abandoned);
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
    if (job->state != Job::State::Done || job->device != device) {
        return std::nullopt;
    }
    job->state = Job::State::Gone;
    return std::move(job->result);
}

void MeasureAhead::forget(std::string_view folder) {
    std::lock_guard lock(mutex_);
    const auto it = jobs_.find(folder);
    if (it == jobs_.end()) {
        return;
    }
    it->second->abandoned->store(true);
    if (it->second->state != Job::State::Running) {
        it->second->state = Job::State::Gone;
        it->second->result.reset();
    }
    jobs_.erase(it);
}

std::optional<MeasuredFolder> measure_apart(const DevScanRequest& request,
                                            const std::string& folder, std::uint64_t device,
                                            const CancelFlag& stop) {
    NullSink sink;
    DevScanState own(request, request.roots, stop, sink);
    MeasuredFolder measured;
    own.listing_marks = &measured.listings;
    HardLinkSet links;
    measured.device = device;
    measured.measurement = measure_candidate(own, folder, device, nullptr, links);
    // Whatever stopped it early could stop the search's own measurement elsewhere.
    if (own.summary.limited || own.cancelled()) {
        return std::nullopt;
    }
    measured.total = {own.summary.entries_examined, own.summary.directories_listed,
                      own.summary.skipped_paths};
    return measured;
}

bool replay_measurement(DevScanState& state, const MeasuredFolder& measured) {
    auto& s = state.summary;
    // Every budget test on the way sees at most the entries counted at the end.
    if (s.entries_examined + measured.total.entries_examined >= state.request.max_entries ||
        s.candidates >= kMaxCandidates || state.elapsed() >= kSearchTimeLimit ||
        state.cancelled()) {
        return false;
    }
    const ListingMark start{s.entries_examined, s.directories_listed, s.skipped_paths};
    const auto apply = [&](const ListingMark& mark) {
        s.entries_examined = start.entries_examined + mark.entries_examined;
        s.directories_listed = start.directories_listed + mark.directories_listed;
        s.skipped_paths = start.skipped_paths + mark.skipped_paths;
    };
    for (const auto& mark : measured.listings) {
        apply(mark);
        emit_progress(state);
    }
    apply(measured.total);
    return true;
}

}  // namespace bramvelt::development
