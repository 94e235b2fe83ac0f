#include "core/development/git_prefetch.hpp"

#include <algorithm>
#include <unordered_set>

#include "core/development/ahead_threads.hpp"

namespace bramvelt::development {

struct GitPrefetch::Job {
    enum class State : std::uint8_t { Waiting, Running, Done, Gone };

    std::string folder;
    std::vector<std::string> args;
    std::optional<FilterDrivers> filters;
    GitQuery query = GitQuery::Local;
    std::function<void()> task;  // a posted task instead of a command
    Then then;
    State state = State::Waiting;
    std::optional<GitAnswer> answer;
    std::size_t held = 0;
    std::atomic<bool> abandoned{false};

    bool same_command(const GitCommandRef& c) const {
        const bool same_filters = (c.filters == nullptr) == !filters.has_value() &&
                                  (c.filters == nullptr || c.filters->names == filters->names);
        return !task && c.folder == folder && c.query == query && same_filters &&
               std::equal(c.args.begin(), c.args.end(), args.begin(), args.end());
    }
};

struct GitPrefetch::Folder {
    std::uint64_t generation = 0;
    std::vector<std::shared_ptr<Job>> jobs;
    // Commands the search ran itself, nothing equal having been asked by then: asked
    // later (a guess that lost the race to the walk), they would run twice.
    std::unordered_set<std::string> run_by_search;
};

namespace {

// What tells one command in a folder from another, as one text: its kind, the filter
// drivers it empties and its arguments, each piece preceded by its length.
std::string command_key(const GitCommandRef& command) {
    std::string key(1, static_cast<char>(command.query));
    const auto add = [&key](std::string_view piece) {
        key += std::to_string(piece.size());
        key += ':';
        key += piece;
    };
    if (command.filters != nullptr) {
        key += 'f';
        for (const std::string& name : command.filters->names) add(name);
    }
    key += 'a';
    for (const std::string& arg : command.args) add(arg);
    return key;
}

}  // namespace

GitPrefetch::GitPrefetch(GitLaunch launch, CancelFlag cancel, std::uint64_t local_timeout_seconds,
                         unsigned children, std::size_t held_limit)
    : launch_(std::move(launch)),
      cancel_(std::move(cancel)),
      local_timeout_(local_timeout_seconds),
      held_limit_(held_limit),
      thread_count_(std::clamp(children, 1u, kMaxGitChildren)) {}

// With the lock held. Threads start with the first work, so a search that has none starts
// none; the destructor joins those that started. Once one cannot start no more are
// tried: the pool does with those it has, and with none at all nothing more is asked
// ahead (what was asked already is run by its taker).
void GitPrefetch::start_threads() {
    while (!start_failed_ && threads_.size() < thread_count_) {
        start_failed_ = !start_ahead_thread(threads_, [this] { work(); });
    }
}

bool GitPrefetch::without_threads() const {
    return start_failed_ && threads_.empty();
}

GitPrefetch::~GitPrefetch() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& [name, folder] : folders_) {
            for (auto& job : folder.jobs) {
                job->abandoned.store(true, std::memory_order_relaxed);
            }
        }
    }
    work_ready_.notify_all();
    for (auto& thread : threads_) {
        thread.join();
    }
}

void GitPrefetch::ask(GitCommandRef command, Urgency urgency, Then then) {
    ask_for(0, command, urgency, std::move(then));
}

void GitPrefetch::ask_for(std::uint64_t generation, GitCommandRef command, Urgency urgency,
                          Then then) {
    auto job = std::make_shared<Job>();
    job->folder = std::string(command.folder);
    job->args.assign(command.args.begin(), command.args.end());
    if (command.filters != nullptr) {
        job->filters = *command.filters;
    }
    job->query = command.query;
    job->then = std::move(then);
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || without_threads()) {
            return;
        }
        auto it = folders_.find(command.folder);
        if (generation != 0 && (it == folders_.end() || it->second.generation != generation)) {
            return;  // forgotten meanwhile
        }
        if (it != folders_.end() && !it->second.run_by_search.empty() &&
            it->second.run_by_search.contains(command_key(command))) {
            return;  // the search ran it already
        }
        if (it == folders_.end()) {
            it = folders_.emplace(job->folder, Folder{next_generation_++, {}, {}}).first;
        }
        it->second.jobs.push_back(job);
        queues_[static_cast<std::size_t>(urgency)].push_back(std::move(job));
        start_threads();
    }
    work_ready_.notify_one();
}

void GitPrefetch::ask_unless_asked(GitCommandRef command, Urgency urgency) {
    {
        std::lock_guard lock(mutex_);
        const auto it = folders_.find(command.folder);
        if (it != folders_.end() &&
            std::any_of(it->second.jobs.begin(), it->second.jobs.end(), [&](const auto& job) {
                return job->state != Job::State::Gone && job->same_command(command);
            })) {
            return;
        }
    }
    ask(command, urgency);
}

void GitPrefetch::post(Urgency urgency, std::function<void()> task) {
    auto job = std::make_shared<Job>();
    job->task = std::move(task);
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || without_threads()) {
            return;
        }
        queues_[static_cast<std::size_t>(urgency)].push_back(std::move(job));
        start_threads();
    }
    work_ready_.notify_one();
}

std::shared_ptr<GitPrefetch::Job> GitPrefetch::next_job() {
    // Only jobs still waiting count: taken and forgotten ones stay queued until met.
    const auto pop_waiting = [](std::deque<std::shared_ptr<Job>>& queue) {
        while (!queue.empty() && queue.front()->state != Job::State::Waiting) {
            queue.pop_front();
        }
        return !queue.empty();
    };
    for (auto& queue : queues_) {
        const bool urgent = &queue == &queues_[static_cast<std::size_t>(Urgency::Now)];
        if ((urgent || held_bytes_ < held_limit_) && pop_waiting(queue)) {
            auto job = std::move(queue.front());
            queue.pop_front();
            return job;
        }
    }
    return nullptr;
}

void GitPrefetch::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        std::shared_ptr<Job> job;
        work_ready_.wait(lock, [&] {
            if (stopping_) return true;
            job = next_job();
            return job != nullptr;
        });
        if (stopping_) {
            return;
        }
        if (!job->task) {
            ++counts_.started;
        }
        run_job(job, lock);
    }
}

// Runs one job with `lock` released and publishes what it gave. A job never lets an
// exception out: a command that could not be run (memory ran out on the way) leaves no
// answer, and its taker runs it itself.
void GitPrefetch::run_job(const std::shared_ptr<Job>& job, std::unique_lock<std::mutex>& lock) {
    job->state = Job::State::Running;
    lock.unlock();
    std::optional<GitAnswer> answer;
    try {
        job_failure_point_for_testing();
        if (job->task) {
            job->task();
        } else {
            const FilterDrivers* filters = job->filters ? &*job->filters : nullptr;
            answer =
                run_git_with(launch_, job->folder, job->args, cancel_,
                             git_timeout_for(local_timeout_, job->query), filters, &job->abandoned);
            if (job->then && !job->abandoned.load(std::memory_order_relaxed)) {
                job->then(*answer);
            }
        }
    } catch (...) {
        answer.reset();
    }
    lock.lock();
    job->then = nullptr;
    if (job->task || !answer || job->abandoned.load(std::memory_order_relaxed)) {
        job->state = Job::State::Gone;
        job->task = nullptr;
    } else {
        job->held = answer->has_value() ? answer->value().size() : answer->error().size();
        held_bytes_ += job->held;
        job->answer = std::move(answer);
        job->state = Job::State::Done;
    }
    job_done_.notify_all();
}

std::optional<GitAnswer> GitPrefetch::take(GitCommandRef command) {
    std::unique_lock lock(mutex_);
    const auto folder = folders_.find(command.folder);
    if (folder == folders_.end()) {
        return std::nullopt;
    }
    auto& jobs = folder->second.jobs;
    const auto found = std::find_if(jobs.begin(), jobs.end(), [&](const auto& job) {
        return job->state != Job::State::Gone && job->same_command(command);
    });
    if (found == jobs.end()) {
        note_run_by_search(command);
        return std::nullopt;
    }
    const std::shared_ptr<Job> job = *found;
    jobs.erase(found);
    if (job->state == Job::State::Waiting) {
        // No thread has reached it yet: run it here rather than wait for one.
        ++counts_.run_by_taker;
        run_job(job, lock);
    }
    job_done_.wait(lock, [&] { return job->state != Job::State::Running; });
    if (job->state != Job::State::Done) {
        note_run_by_search(command);
        return std::nullopt;
    }
    ++counts_.taken;
    held_bytes_ -= job->held;
    job->state = Job::State::Gone;
    std::optional<GitAnswer> answer = std::move(job->answer);
    lock.unlock();
    work_ready_.notify_all();  // room under the held limit again
    return answer;
}

// With the lock held, which every ask takes too: an equal ask after this is refused. The
// folder may have been forgotten while its job ran; then nothing is held to refuse.
void GitPrefetch::note_run_by_search(const GitCommandRef& command) {
    if (const auto folder = folders_.find(command.folder); folder != folders_.end()) {
        folder->second.run_by_search.insert(command_key(command));
    }
}

bool GitPrefetch::holds(std::string_view folder) const {
    std::lock_guard lock(mutex_);
    return folders_.find(folder) != folders_.end();
}

std::uint64_t GitPrefetch::folder_generation(std::string_view folder) {
    std::lock_guard lock(mutex_);
    auto it = folders_.find(folder);
    if (it == folders_.end()) {
        it = folders_.emplace(std::string(folder), Folder{next_generation_++, {}, {}}).first;
    }
    return it->second.generation;
}

std::optional<std::uint64_t> GitPrefetch::held_generation(std::string_view folder) const {
    std::lock_guard lock(mutex_);
    const auto it = folders_.find(folder);
    if (it == folders_.end()) {
        return std::nullopt;
    }
    return it->second.generation;
}

void GitPrefetch::note_examined(std::string_view folder) {
    std::lock_guard lock(mutex_);
    examined_.emplace(folder);
}

std::optional<std::uint64_t> GitPrefetch::generation_if_new(std::string_view folder,
                                                            std::uint64_t place,
                                                            const WalkOrder& order) {
    // Decided under the lock that the walk's own look at the folder (holds) takes, so a
    // folder the walk has taken gets nothing.
    std::lock_guard lock(mutex_);
    if (order.taken(place) || examined_.contains(folder) || folders_.contains(folder)) {
        return std::nullopt;
    }
    const std::uint64_t generation = next_generation_++;
    folders_.emplace(std::string(folder), Folder{generation, {}, {}});
    return generation;
}

void GitPrefetch::drop(Job& job) {
    ++counts_.dropped;
    if (job.state == Job::State::Running) {
        job.abandoned.store(true, std::memory_order_relaxed);
        return;
    }
    if (job.state == Job::State::Done) {
        held_bytes_ -= job.held;
        job.answer.reset();
    }
    job.state = Job::State::Gone;
}

void GitPrefetch::forget(std::string_view folder) {
    {
        std::lock_guard lock(mutex_);
        const auto it = folders_.find(folder);
        if (it == folders_.end()) {
            return;
        }
        for (auto& job : it->second.jobs) {
            drop(*job);
        }
        folders_.erase(it);
    }
    work_ready_.notify_all();
}

bool GitPrefetch::claim_repository_facts(const std::string& common_dir) {
    std::lock_guard lock(mutex_);
    return facts_claimed_.insert(common_dir).second;
}

void GitPrefetch::note_worktree_list(const std::string& common_dir) {
    std::lock_guard lock(mutex_);
    lists_noted_.insert(common_dir);
}

bool GitPrefetch::worktree_list_noted(const std::string& common_dir) const {
    std::lock_guard lock(mutex_);
    return lists_noted_.contains(common_dir);
}

GitPrefetch::Counts GitPrefetch::counts() const {
    std::lock_guard lock(mutex_);
    Counts counts = counts_;
    counts.held_bytes = held_bytes_;
    return counts;
}

}  // namespace bramvelt::development
