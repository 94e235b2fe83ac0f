#include "scan/worker.hpp"

#include <atomic>
#include <new>
#include <stdexcept>

#include "platform/resource_exhaustion.hpp"
#include "scan/walker.hpp"

namespace bramvelt::scan {
namespace {

std::atomic<int> start_failure_index{-1};
std::atomic<ThrowInWalk> walk_throws{ThrowInWalk::no};

}  // namespace

void fail_worker_start_for_testing(int index) {
    start_failure_index.store(index);
}
int worker_start_failure_index() {
    return start_failure_index.load();
}
void throw_in_worker_walk_for_testing(ThrowInWalk choice) {
    walk_throws.store(choice);
}

ResultChannel::Sender::Sender(std::shared_ptr<ResultChannel> channel)
    : channel_(std::move(channel)) {
    std::lock_guard<std::mutex> lock(channel_->mutex_);
    ++channel_->senders_;
}

ResultChannel::Sender::~Sender() {
    if (!channel_) return;
    {
        std::lock_guard<std::mutex> lock(channel_->mutex_);
        --channel_->senders_;
    }
    channel_->ready_.notify_all();
}

bool ResultChannel::Sender::send(JobResult result) {
    {
        std::lock_guard<std::mutex> lock(channel_->mutex_);
        if (channel_->receiver_gone_) return false;
        channel_->results_.push_back(std::move(result));
    }
    channel_->ready_.notify_one();
    return true;
}

ResultChannel::Received ResultChannel::receive(std::optional<std::chrono::nanoseconds> wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto ready = [&] { return !results_.empty() || senders_ == 0; };
    if (wait) {
        if (!ready_.wait_for(lock, *wait, ready)) return Timeout{};
    } else {
        ready_.wait(lock, ready);
    }
    if (results_.empty()) return Closed{};
    JobResult result = std::move(results_.front());
    results_.pop_front();
    return result;
}

void ResultChannel::close_receiver() {
    std::lock_guard<std::mutex> lock(mutex_);
    receiver_gone_ = true;
    results_.clear();
}

bool jobs_can_be_shared(const ScanSession& session) {
    return std::holds_alternative<KeepAll>(session.options.retention) && !session.catalog &&
           session.options.one_filesystem;
}

WorkerEnd scan_worker(const std::shared_ptr<ScanSession>& session,
                      const std::shared_ptr<JobQueue>& queue, const std::shared_ptr<HelpPool>& pool,
                      ResultChannel::Sender sender) {
    // Tells the pool, on every way out, that one worker fewer will come to help.
    struct Leave {
        HelpPool* pool;
        ~Leave() {
            if (pool != nullptr) pool->leave();
        }
    } leave{pool.get()};
    const TreeMemoryScope tree_in_chunks;
    try {
        for (;;) {
            if (session->cancelled()) return {};
            ScanJob job;
            {
                std::lock_guard<std::mutex> lock(queue->mutex);
                if (!queue->jobs.empty()) {
                    job = std::move(queue->jobs.front());
                    queue->jobs.pop_front();
                }
            }
            if (!job.progress) {
                // The queue is empty: help the others until every worker is idle.
                if (pool != nullptr) {
                    pool->help([&](HelpPool::Task& task) {
                        const WalkMode mode = RecursiveMode{task.progress, pool.get(), &task.links};
                        task.node = walk_handed_over(*session, task, mode);
                    });
                }
                return {};
            }
            switch (walk_throws.load(std::memory_order_relaxed)) {
                case ThrowInWalk::no:
                    break;
                case ThrowInWalk::yes:
                    throw std::runtime_error("injected walk failure");
                case ThrowInWalk::out_of_memory:
                    throw std::bad_alloc();
            }
            LinkLog links;
            const WalkMode mode =
                RecursiveMode{job.progress, pool.get(), pool != nullptr ? &links : nullptr};
            TreeNode node = walk_directory(*session, job.path, mode, job.depth);
            if (pool != nullptr) finish_shared_job(*session, node, links, job.progress.get());
            apply_package_rule(session->collapse_packages, node);
            if (!sender.send(JobResult{std::move(job.path), std::move(node)})) return {};
        }
    } catch (...) {
        return {false, platform::resource_exhaustion_text(std::current_exception())};
    }
}

}  // namespace bramvelt::scan
