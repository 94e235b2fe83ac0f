#include "core/development/walk_lookahead.hpp"

namespace bramvelt::development {
namespace {

// Large enough that handing over costs the walk little, small enough that the threads
// stay well ahead of it.
constexpr std::size_t kBatch = 64;

}  // namespace

void WalkLookahead::queued(const std::string& folder, std::uint64_t device) {
    batch_.push_back({folder, next_place_++, device});
}

void WalkLookahead::listed(std::size_t waiting) {
    if (!batch_.empty() && (batch_.size() >= kBatch || waiting <= 16 * kBatch)) {
        hand_over_(std::move(batch_));
        batch_.clear();
    }
}

bool WalkLookahead::taking_front(std::size_t waiting) {
    // The queue holds the folders put at the front, then the numbered ones still waiting.
    if (waiting > next_place_ - taken_) {
        return false;
    }
    order_.taking(taken_++);
    return true;
}

}  // namespace bramvelt::development
