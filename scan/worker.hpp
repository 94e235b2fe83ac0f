#pragma once
// The scan's worker threads: each takes the oldest queued job, walks its whole subtree,
// and sends the node back to the driver over one unbounded channel.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <variant>

#include "scan/help_pool.hpp"
#include "scan/job.hpp"
#include "scan/session.hpp"

namespace bramvelt::scan {

// Many senders, one receiver. Receiving reports Closed once every sender is gone and
// every result taken; sending fails once the receiver is gone.
class ResultChannel {
  public:
    class Sender {
      public:
        explicit Sender(std::shared_ptr<ResultChannel> channel);
        ~Sender();
        Sender(Sender&& other) noexcept = default;
        Sender(const Sender&) = delete;
        Sender& operator=(const Sender&) = delete;
        Sender& operator=(Sender&&) = delete;
        // false when the receiver is gone; the result is dropped.
        bool send(JobResult result);

      private:
        std::shared_ptr<ResultChannel> channel_;
    };

    struct Timeout {};
    struct Closed {};
    using Received = std::variant<JobResult, Timeout, Closed>;

    // Waits at most `wait` (forever when absent).
    Received receive(std::optional<std::chrono::nanoseconds> wait);
    void close_receiver();

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<JobResult> results_;
    std::size_t senders_ = 0;
    bool receiver_gone_ = false;
};

// How a worker thread ended: well, or through a fault, which the driver reports as
// "scan worker failed", followed by `reason` when memory or a thread's resources ran out.
struct WorkerEnd {
    bool ok = true;
    std::string_view reason;  // empty, or a text of platform/resource_exhaustion.hpp
};

// The body of one worker thread: takes jobs from the front of the queue until it is
// empty, the scan is cancelled or the driver stops receiving. With a pool, a worker
// whose queue is empty then helps the others with their jobs until all are done (see
// HelpPool); without one (null) it ends. Never throws: a failure inside is its end.
WorkerEnd scan_worker(const std::shared_ptr<ScanSession>& session,
                      const std::shared_ptr<JobQueue>& queue, const std::shared_ptr<HelpPool>& pool,
                      ResultChannel::Sender sender);

// Whether idle workers may share jobs in this scan: only when every file becomes a node
// (a retention rule would choose files by sizes that are not final yet) and the walk
// stays on one file system (where a directory cannot be met twice).
bool jobs_can_be_shared(const ScanSession& session);

// Test seams, so the failures they stand for stay tested: worker threads from index
// `index` on fail to start (negative: none), and a walk on a worker throws (a failure of
// its own, or memory that ran out).
void fail_worker_start_for_testing(int index);
int worker_start_failure_index();
enum class ThrowInWalk { no, yes, out_of_memory };
void throw_in_worker_walk_for_testing(ThrowInWalk choice);

}  // namespace bramvelt::scan
