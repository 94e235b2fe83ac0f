#pragma once
// Lets idle workers share a large job. Jobs are whole subtrees, and one of them can hold
// most of a tree; once the job queue is empty and workers wait here, a worker walking a
// job offers, at each level it comes to, the subdirectories it has not reached yet. The
// waiting workers take the oldest offers (the shallowest, so the largest shares), and
// the owner takes back in order what nobody started and waits for the rest.
// Within a shared job, multiply linked files are not counted where they are met but
// logged (`LinkLog`) and counted when the job's walk is over, in the order one thread
// walking alone would have met them; so the tree comes out exactly as if the owner had
// walked every part itself.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "scan/job.hpp"
#include "scan/tree.hpp"

namespace bramvelt::scan {

class ScanSession;

// A file with more than one link, met in a shared job and not counted yet.
struct DeferredLink {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;  // allocated bytes
    // Where its node sits below the walked directory: child indices in the order the
    // walk made them, innermost first (each level appends its own on the way up).
    std::vector<std::uint32_t> where;
};
// In the order a lone walker would have met the files.
using LinkLog = std::vector<DeferredLink>;

class HelpPool {
  public:
    // One subdirectory walk handed over; shared by its owner and the worker running it.
    struct Task {
        std::string path;  // raw bytes
        // As its parent's listing saw it; opened by path, the owner's descriptor stays its
        // own. Many tasks wait at once, so only what the walk needs.
        ListedStatus status;
        std::size_t name_length = 0;
        unsigned depth = 0;
        std::shared_ptr<JobProgress> progress;
        std::optional<TreeNode> node;
        LinkLog links;
        std::exception_ptr error;
        enum class State { Queued, Running, Done } state = State::Queued;
    };

    explicit HelpPool(std::size_t workers) : workers_(workers) {}

    // Whether any worker has come to help: only then are offers worth making.
    bool helping() const { return helping_.load(std::memory_order_relaxed); }
    // Offers the tasks, in order, to idle workers.
    void post(const std::vector<std::shared_ptr<Task>>& tasks);
    // Takes a task back when no helper has started it; the owner then walks it itself.
    // (It stays in the queue and is skipped there, so this costs no search.)
    bool take_back(const std::shared_ptr<Task>& task);
    // Waits until a helper has walked the task, meanwhile walking offers of others with
    // `run`; not while running such an offer, so a stack holds at most two walks.
    template <typename Run>
    void wait(const std::shared_ptr<Task>& task, Run&& run);

    // A worker with no job left runs handed-over walks until every worker is idle and
    // nothing is queued, which means no more can come. `run` walks one task.
    template <typename Run>
    void help(Run&& run);
    // A worker that ends without helping (cancelled, output gone, failed).
    void leave();

  private:
    std::mutex mutex_;
    std::condition_variable work_;              // helpers: a task was posted, or all are idle
    std::condition_variable done_;              // owners: a task finished
    std::deque<std::shared_ptr<Task>> queued_;  // also holds tasks taken back
    std::size_t waiting_ = 0;                   // tasks in queued_ still Queued
    std::size_t workers_;
    std::size_t idle_ = 0;
    std::atomic<bool> helping_{false};  // read without the lock on every directory
    static constexpr int kMaxNestedHelp = 1;
    static inline thread_local int nested_help_ = 0;
};

template <typename Run>
void HelpPool::wait(const std::shared_ptr<Task>& task, Run&& run) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (task->state != Task::State::Done) {
        if (waiting_ == 0 || nested_help_ >= kMaxNestedHelp) {
            done_.wait(lock);
            continue;
        }
        auto other = std::move(queued_.front());
        queued_.pop_front();
        if (other->state != Task::State::Queued) continue;
        --waiting_;
        other->state = Task::State::Running;
        lock.unlock();
        ++nested_help_;
        try {
            run(*other);
        } catch (...) {
            other->error = std::current_exception();
        }
        --nested_help_;
        lock.lock();
        other->state = Task::State::Done;
        done_.notify_all();
    }
}

template <typename Run>
void HelpPool::help(Run&& run) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++idle_;
    helping_.store(true, std::memory_order_relaxed);
    if (idle_ >= workers_) work_.notify_all();
    for (;;) {
        work_.wait(lock, [&] { return waiting_ > 0 || idle_ >= workers_; });
        if (waiting_ == 0) break;
        auto task = std::move(queued_.front());
        queued_.pop_front();
        if (task->state != Task::State::Queued) continue;  // taken back by its owner
        --waiting_;
        task->state = Task::State::Running;
        --idle_;
        lock.unlock();
        try {
            run(*task);
        } catch (...) {
            task->error = std::current_exception();
        }
        lock.lock();
        task->state = Task::State::Done;
        ++idle_;
        done_.notify_all();
        if (idle_ >= workers_) work_.notify_all();
    }
    // Every worker is idle and nothing is queued: no more work can come.
    work_.notify_all();
}

}  // namespace bramvelt::scan
