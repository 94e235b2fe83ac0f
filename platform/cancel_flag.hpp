#pragma once
// The cancel flag of one operation, shared by whoever asked for it and the threads
// doing it. Setting it asks the work to stop at its next check; nothing ever clears it.

#include <atomic>
#include <memory>

namespace bramvelt {

using CancelFlag = std::shared_ptr<std::atomic<bool>>;

inline CancelFlag make_cancel_flag() {
    return std::make_shared<std::atomic<bool>>(false);
}

inline bool is_cancelled(const CancelFlag& flag) {
    return flag && flag->load(std::memory_order_relaxed);
}

}  // namespace bramvelt
