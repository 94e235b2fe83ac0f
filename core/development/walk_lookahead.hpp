#pragma once
// The walk's side of the work done ahead of it. The folders the walk queues at the back
// of its folder queue are numbered in queue order and handed, in batches, to threads that
// look at what each will be (an artifact to measure, a checkout to ask Git about); and
// those threads can tell which folders the walk has taken since, so that nothing is
// guessed for a folder the walk has already decided about itself. Folders put at the
// front of the queue (worktrees, nested checkouts) are not numbered: the walk takes them
// before every numbered one. Used on the search's thread only, but `order` is read by
// the threads working ahead.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bramvelt::development {

// How far the walk has come through the numbered folders.
class WalkOrder {
  public:
    void taking(std::uint64_t place) { taken_.store(place + 1, std::memory_order_release); }
    bool taken(std::uint64_t place) const { return place < taken_.load(std::memory_order_acquire); }

  private:
    std::atomic<std::uint64_t> taken_{0};
};

struct QueuedFolder {
    std::string path;
    std::uint64_t place = 0;
    std::uint64_t device = 0;  // as the walk's listing saw it
};

class WalkLookahead {
  public:
    // Hands a batch over to the threads that look ahead.
    using HandOver = std::function<void(std::vector<QueuedFolder>)>;
    explicit WalkLookahead(HandOver hand_over) : hand_over_(std::move(hand_over)) {}

    // `count` folders were queued at the back before the walk began (its seeds).
    void seeded(std::size_t count) { next_place_ += count; }
    // One folder queued at the back, a directory on `device` when the walk listed it.
    void queued(const std::string& folder, std::uint64_t device);
    // A listing is done and `waiting` folders are queued: the batch goes when it is full,
    // or when the walk will reach it soon.
    void listed(std::size_t waiting);
    // The walk takes the front of its queue, which holds `waiting` folders: true when that
    // folder was numbered (and is now marked taken), false when it was put at the front.
    bool taking_front(std::size_t waiting);

    const WalkOrder& order() const { return order_; }

  private:
    HandOver hand_over_;
    WalkOrder order_;
    std::uint64_t next_place_ = 0;
    std::uint64_t taken_ = 0;
    std::vector<QueuedFolder> batch_;
};

}  // namespace bramvelt::development
