#pragma once
// Lets idle workers share a large job. Jobs are whole subtrees, and one of them can hold
// most of a tree; once the job queue is empty, a worker walking such a subtree hands
// some of its subdirectories to the idle workers and takes their nodes back in order.
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

#include "scan_core/job.hpp"
#include "scan_core/tree.hpp"

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
        unsigned depth = 0;
        std::shared_ptr<JobProgress> progress;
        std::optional<TreeNode> node;
        LinkLog links;
        std::exception_ptr error;
        enum class State { Queued, Running, Done } state = State::Queued;
    };

    explicit HelpPool(std::size_t workers) : workers_(workers) {}

    // Whether a worker waits for work that has not been handed over yet.
    bool has_idle_helper() const { return spare_.load(std::memory_order_relaxed); }
    void post(const std::shared_ptr<Task>& task);
    // Takes a task back when no helper has started it; the owner then walks it itself.
    bool take_back(const std::shared_ptr<Task>& task);
    void wait(const std::shared_ptr<Task>& task);

    // A worker with no job left runs handed-over walks until every worker is idle and
    // nothing is queued, which means no more can come. `run` walks one task.
    template <typename Run>
    void help(Run&& run);
    // A worker that ends without helping (cancelled, output gone, failed).
    void leave();

  private:
    void publish_spare_locked() { spare_.store(idle_ > queued_.size(), std::memory_order_relaxed); }

    std::mutex mutex_;
    std::condition_variable work_;  // helpers: a task was posted, or all are idle
    std::condition_variable done_;  // owners: a task finished
    std::deque<std::shared_ptr<Task>> queued_;
    std::size_t workers_;
    std::size_t idle_ = 0;
    // Read without the lock on every directory walked: a helper waits for work.
    std::atomic<bool> spare_{false};
};

template <typename Run>
void HelpPool::help(Run&& run) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++idle_;
    publish_spare_locked();
    if (idle_ >= workers_) work_.notify_all();
    for (;;) {
        work_.wait(lock, [&] { return !queued_.empty() || idle_ >= workers_; });
        if (queued_.empty()) break;
        auto task = std::move(queued_.front());
        queued_.pop_front();
        task->state = Task::State::Running;
        --idle_;
        publish_spare_locked();
        lock.unlock();
        try {
            run(*task);
        } catch (...) {
            task->error = std::current_exception();
        }
        lock.lock();
        task->state = Task::State::Done;
        ++idle_;
        publish_spare_locked();
        done_.notify_all();
        if (idle_ >= workers_) work_.notify_all();
    }
    // Every worker is idle and nothing is queued: no more work can come.
    work_.notify_all();
}

}  // namespace bramvelt::scan
