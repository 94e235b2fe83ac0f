#pragma once
// A thread that records when its body has returned, since std::thread cannot tell.
// The body runs under a catch-all, so nothing it throws ends the process. The
// destructor detaches a thread nobody joined: the body then runs on alone and must
// touch nothing but what it owns or shares by reference count.

#include <atomic>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace bramvelt::tui {

class WorkerThread {
  public:
    WorkerThread() = default;
    ~WorkerThread();
    WorkerThread(WorkerThread&& other) noexcept = default;
    WorkerThread& operator=(WorkerThread&& other) noexcept;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts `body` on a new thread; the error says what ran out (platform's
    // resource-exhaustion texts) when no thread could be made.
    static std::expected<WorkerThread, std::string> start(std::function<void()> body);

    // True once the body has returned (or thrown).
    bool finished() const { return finished_ && finished_->load(std::memory_order_acquire); }
    bool joinable() const { return thread_.joinable(); }
    void join();
    void detach();

  private:
    std::thread thread_;
    std::shared_ptr<std::atomic<bool>> finished_;
};

}  // namespace bramvelt::tui
