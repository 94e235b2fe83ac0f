#include "scan/help_pool.hpp"

namespace bramvelt::scan {

void HelpPool::post(const std::vector<std::shared_ptr<Task>>& tasks) {
    bool anyone_idle = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_.insert(queued_.end(), tasks.begin(), tasks.end());
        waiting_ += tasks.size();
        anyone_idle = idle_ > 0;
    }
    if (anyone_idle) work_.notify_all();
}

bool HelpPool::take_back(const std::shared_ptr<Task>& task) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (task->state != Task::State::Queued) return false;
    task->state = Task::State::Done;
    --waiting_;
    // Owners take back in offer order, so what is taken back gathers at the front.
    while (!queued_.empty() && queued_.front()->state != Task::State::Queued) {
        queued_.pop_front();
    }
    return true;
}

void HelpPool::leave() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (workers_ > 0) --workers_;
    }
    work_.notify_all();
}

}  // namespace bramvelt::scan
