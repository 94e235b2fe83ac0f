#pragma once
// An unbounded many-to-one channel. Senders never block; once the receiving end is
// gone every send fails, which is how a worker learns that nobody listens any more
// and stops its own work. The state is shared, so either end may outlive the other.

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace bramvelt::tui {

template <typename T>
class ChannelState {
  public:
    bool push(T value) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) return false;
        queue_.push_back(std::move(value));
        return true;
    }
    std::optional<T> pop() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty()) return std::nullopt;
        T value = std::move(queue_.front());
        queue_.pop_front();
        return value;
    }
    // Drops what waits, so nothing a worker sent is kept after the receiver left. It
    // allocates nothing: the receiver's destructor runs it, also once memory has run out.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = false;
        }
        // Once closed nothing is pushed, and only the one receiver pops: the queue is the
        // caller's alone, so what waits is destroyed outside the lock.
        queue_.clear();
    }

  private:
    std::mutex mutex_;
    std::deque<T> queue_;
    bool open_ = true;
};

// A sending end; copies share the channel.
template <typename T>
class Sender {
  public:
    explicit Sender(std::shared_ptr<ChannelState<T>> state) : state_(std::move(state)) {}
    // False once the receiver is gone; the value is then dropped.
    bool send(T value) const { return state_->push(std::move(value)); }

  private:
    std::shared_ptr<ChannelState<T>> state_;
};

// The one receiving end. Destroying (or closing) it makes every later send fail.
template <typename T>
class Receiver {
  public:
    explicit Receiver(std::shared_ptr<ChannelState<T>> state) : state_(std::move(state)) {}
    ~Receiver() { close(); }
    Receiver(Receiver&& other) noexcept = default;
    Receiver& operator=(Receiver&&) = delete;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // The next waiting value, without waiting.
    std::optional<T> try_receive() { return state_ ? state_->pop() : std::nullopt; }
    void close() {
        if (state_) state_->close();
        state_.reset();
    }

  private:
    std::shared_ptr<ChannelState<T>> state_;
};

template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    auto state = std::make_shared<ChannelState<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace bramvelt::tui
