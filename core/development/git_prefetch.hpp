#pragma once
// Git commands started ahead of the search by a small pool of threads, each running one
// child at a time, so that Git works while the walk goes on. The search takes each answer
// when it reaches the command itself (run_git_budgeted), which applies the budget and
// counts the command at that point, exactly as if it started it there; an answer never
// asked for is dropped uncounted. Every command runs with the launch, cancel flag and
// time limit the search itself would use. A thread that cannot start is done without, and
// a command that fails to run (memory ran out) leaves no answer: either way the search
// runs the command itself. The destructor kills and reaps every child still running and
// joins the threads.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/development/filter_drivers.hpp"
#include "core/development/git_launch.hpp"
#include "core/development/git_runner.hpp"
#include "core/development/walk_lookahead.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::development {

using GitAnswer = std::expected<std::string, std::string>;

// One command as the search would run it: the folder, its arguments, the filter drivers
// it empties and its kind (which sets its time limit).
struct GitCommandRef {
    std::string_view folder;
    std::span<const std::string> args;
    const FilterDrivers* filters = nullptr;
    GitQuery query = GitQuery::Local;
};

// Which commands a free thread starts first: those the search waits for now, then those
// of folders the walk is about to reach, then those of inspections it has put off.
enum class Urgency : std::uint8_t { Now, Soon, Later };

// At most this many bytes of answers wait to be taken; beyond it only commands the search
// waits for start.
inline constexpr std::size_t kPrefetchHeldLimit = 64 * 1024 * 1024;
inline constexpr unsigned kMaxGitChildren = 8;

class GitPrefetch {
  public:
    // Runs once the command has ended, before its answer can be taken (on the thread that
    // ran it); used to ask the commands that the answer decides.
    using Then = std::function<void(const GitAnswer&)>;

    GitPrefetch(GitLaunch launch, CancelFlag cancel, std::uint64_t local_timeout_seconds,
                unsigned children, std::size_t held_limit = kPrefetchHeldLimit);
    ~GitPrefetch();
    GitPrefetch(const GitPrefetch&) = delete;
    GitPrefetch& operator=(const GitPrefetch&) = delete;

    // Starts `command` when a thread is free. With a generation (see folder_generation),
    // nothing is asked once the folder was forgotten since it was read.
    void ask(GitCommandRef command, Urgency urgency, Then then = {});
    void ask_for(std::uint64_t generation, GitCommandRef command, Urgency urgency, Then then = {});
    // Asks `command` unless an equal one waits to be taken already.
    void ask_unless_asked(GitCommandRef command, Urgency urgency);
    // Runs `task` on a pool thread (work that reads files before asking more commands).
    void post(Urgency urgency, std::function<void()> task);

    // The answer of an equal command asked ahead, waiting while it runs; a command still
    // waiting for a thread is run here, on the caller's thread. Nothing when none was asked
    // (or it gave no answer): the caller runs it, and an equal ask in a folder held now is
    // refused from then on, so that no command runs twice.
    std::optional<GitAnswer> take(GitCommandRef command);

    // Whether anything was asked ahead in `folder` and not yet forgotten.
    bool holds(std::string_view folder) const;
    // The folder's current generation: forgetting it starts a new one.
    std::uint64_t folder_generation(std::string_view folder);
    // The same, but nothing when nothing is asked for the folder now.
    std::optional<std::uint64_t> held_generation(std::string_view folder) const;
    // The search has begun to examine `folder`, taken from the front of its queue: what it
    // asks ahead for it from now on is decided there, and nothing more is guessed.
    void note_examined(std::string_view folder);
    // The generation of a folder queued at `place` that nothing was asked for yet, unless
    // the walk has taken it (`order`, or note_examined for one put at the front).
    std::optional<std::uint64_t> generation_if_new(std::string_view folder, std::uint64_t place,
                                                   const WalkOrder& order);
    // Drops what was asked in `folder` and not taken: waiting commands never start,
    // running ones are killed and reaped by their thread, answers are freed.
    void forget(std::string_view folder);

    // Repositories, by common Git directory, whose facts some inspection will gather or
    // has gathered. True for the first claim of a directory only.
    bool claim_repository_facts(const std::string& common_dir);
    // Common Git directories whose worktree list the search holds.
    void note_worktree_list(const std::string& common_dir);
    bool worktree_list_noted(const std::string& common_dir) const;

    // What happened to the commands asked so far, for tests and the benchmark.
    struct Counts {
        std::uint64_t started = 0;  // by a pool thread
        std::uint64_t taken = 0;    // answered from the pool
        std::uint64_t run_by_taker = 0;
        std::uint64_t dropped = 0;   // forgotten or never asked for
        std::size_t held_bytes = 0;  // answers waiting to be taken
    };
    Counts counts() const;

  private:
    struct Job;
    struct Folder;
    void work();
    void run_job(const std::shared_ptr<Job>& job, std::unique_lock<std::mutex>& lock);
    std::shared_ptr<Job> next_job();
    void start_threads();
    bool without_threads() const;
    void drop(Job& job);
    // The caller of take runs `command` itself.
    void note_run_by_search(const GitCommandRef& command);

    const GitLaunch launch_;
    const CancelFlag cancel_;
    const std::uint64_t local_timeout_;
    const std::size_t held_limit_;
    const unsigned thread_count_;

    mutable std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable job_done_;
    bool stopping_ = false;
    // A thread could not start; no more are tried.
    bool start_failed_ = false;
    std::deque<std::shared_ptr<Job>> queues_[3];  // by Urgency
    std::map<std::string, Folder, std::less<>> folders_;
    std::uint64_t next_generation_ = 1;
    std::size_t held_bytes_ = 0;
    std::set<std::string> facts_claimed_;
    std::set<std::string> lists_noted_;
    std::set<std::string, std::less<>> examined_;
    Counts counts_;
    std::vector<std::thread> threads_;
};

}  // namespace bramvelt::development
