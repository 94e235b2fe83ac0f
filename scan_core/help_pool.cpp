#include "scan_core/help_pool.hpp"

#include <algorithm>

namespace bramvelt::scan {

void HelpPool::post(const std::shared_ptr<Task>& task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_.push_back(task);
        publish_spare_locked();
    }
    work_.notify_one();
}

bool HelpPool::take_back(const std::shared_ptr<Task>& task) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (task->state != Task::State::Queued) return false;
    queued_.erase(std::find(queued_.begin(), queued_.end(), task));
    task->state = Task::State::Done;
    publish_spare_locked();
    return true;
}

void HelpPool::wait(const std::shared_ptr<Task>& task) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return task->state == Task::State::Done; });
}

void HelpPool::leave() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (workers_ > 0) --workers_;
    }
    work_.notify_all();
}

}  // namespace bramvelt::scan
