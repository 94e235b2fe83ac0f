#include "src/cli/ordered_output.hpp"

#include <utility>

namespace bramvelt::cli {

OrderedOutput::OrderedOutput(platform::Writer& out, std::size_t segments, std::size_t most_buffers)
    : out_(out), most_buffers_(most_buffers), ready_(segments) {}

std::optional<scan::TreeString> OrderedOutput::take_buffer(std::size_t k) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(
        lock, [&] { return failed_ || !spare_.empty() || made_ < most_buffers_ || next_ == k; });
    if (failed_) return std::nullopt;
    if (spare_.empty()) {
        ++made_;
        return scan::TreeString();
    }
    scan::TreeString buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
}

void OrderedOutput::hand_in(std::size_t k, scan::TreeString buffer) {
    send(k, std::move(buffer), true);
}

void OrderedOutput::hand_in_text(std::size_t k, scan::TreeString text) {
    send(k, std::move(text), false);
}

void OrderedOutput::send(std::size_t k, scan::TreeString text, bool pooled) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_[k].text = std::move(text);
    ready_[k].pooled = pooled;
    // The thread already sending sends this one too.
    if (sending_) return;
    sending_ = true;
    try {
        while (!failed_ && next_ < ready_.size() && ready_[next_].text) {
            Slot& slot = ready_[next_];
            scan::TreeString bytes = std::move(*slot.text);
            slot.text.reset();
            const bool back_to_pool = slot.pooled;
            lock.unlock();
            const bool written = out_.write(bytes);
            bytes.clear();
            lock.lock();
            if (written) {
                ++next_;
            } else {
                failed_ = true;
            }
            if (back_to_pool) spare_.push_back(std::move(bytes));
            changed_.notify_all();
        }
    } catch (...) {
        // A writer that throws stops the output as a failed write does.
        if (!lock.owns_lock()) lock.lock();
        failed_ = true;
        sending_ = false;
        changed_.notify_all();
        throw;
    }
    sending_ = false;
}

void OrderedOutput::fail() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
    }
    changed_.notify_all();
}

bool OrderedOutput::finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !failed_ && next_ == ready_.size();
}

std::size_t OrderedOutput::buffers_made() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return made_;
}

}  // namespace bramvelt::cli
