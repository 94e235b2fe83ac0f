#include "src/tui/worker_thread.hpp"

#include <exception>

#include "platform/resource_exhaustion.hpp"

namespace bramvelt::tui {

WorkerThread::~WorkerThread() {
    detach();
}

WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept {
    if (this != &other) {
        detach();
        thread_ = std::move(other.thread_);
        finished_ = std::move(other.finished_);
    }
    return *this;
}

std::expected<WorkerThread, std::string> WorkerThread::start(std::function<void()> body) {
    WorkerThread worker;
    worker.finished_ = std::make_shared<std::atomic<bool>>(false);
    try {
        worker.thread_ = std::thread([body = std::move(body), finished = worker.finished_] {
            try {
                body();
            } catch (...) {  // NOLINT(bugprone-empty-catch): bodies report their own failures
            }
            finished->store(true, std::memory_order_release);
        });
    } catch (...) {
        // No thread (or no memory for its state): the shared text says which ran out.
        return std::unexpected(std::string(platform::exception_text(std::current_exception())));
    }
    return worker;
}

void WorkerThread::join() {
    if (thread_.joinable()) thread_.join();
}

void WorkerThread::detach() {
    if (thread_.joinable()) thread_.detach();
}

}  // namespace bramvelt::tui
