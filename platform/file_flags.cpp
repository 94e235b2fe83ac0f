#include "platform/file_flags.hpp"

#include <atomic>
#include <mutex>
#include <set>
#include <utility>

namespace bramvelt::platform {
namespace {

// Scans ask for flags once per entry: without marks the answer costs one relaxed load.
std::atomic<bool> any_marks{false};
std::mutex marks_mutex;
std::set<std::pair<dev_t, ino_t>>& marks() {
    static std::set<std::pair<dev_t, ino_t>> set;
    return set;
}

}  // namespace

std::uint32_t file_flags(dev_t device, ino_t inode) {
    if (!any_marks.load(std::memory_order_acquire)) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(marks_mutex);
    return marks().contains({device, inode}) ? kDatalessFlag : 0;
}

void mark_dataless_for_testing(dev_t device, ino_t inode) {
    std::lock_guard<std::mutex> lock(marks_mutex);
    marks().insert({device, inode});
    any_marks.store(true, std::memory_order_release);
}

void clear_dataless_marks_for_testing() {
    std::lock_guard<std::mutex> lock(marks_mutex);
    marks().clear();
    any_marks.store(false, std::memory_order_release);
}

}  // namespace bramvelt::platform
