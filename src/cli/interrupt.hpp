#pragma once
// Turns Ctrl-C into an operation's cancel flag instead of ending the process. While a
// guard lives, SIGINT only sets a process-wide byte; a watcher thread copies it into the
// cancel flag every 10 ms. Dropping the guard stops and joins the watcher and puts the
// previous SIGINT disposition back. One bridge exists at a time: a second install waits
// for the first guard to go.

#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/cancel_flag.hpp"

namespace bramvelt::cli {

class InterruptGuard {
  public:
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    InterruptGuard(InterruptGuard&&) = delete;
    InterruptGuard& operator=(InterruptGuard&&) = delete;

    // Whether a real SIGINT arrived since this bridge was installed. A cancel flag may
    // also be set by the operation itself; this tells the user's Ctrl-C apart.
    bool sigint_seen() const;

  private:
    friend std::unique_ptr<InterruptGuard> install_interrupt_bridge(CancelFlag cancel);
    struct Wakeup {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    InterruptGuard(std::unique_lock<std::mutex> lock, CancelFlag cancel);
    void release_interrupt_bridge();

    std::unique_lock<std::mutex> lock_guard_;
    std::shared_ptr<Wakeup> done_;
    void (*previous_handler_)(int) = SIG_ERR;
    std::thread watcher_;
};

std::unique_ptr<InterruptGuard> install_interrupt_bridge(CancelFlag cancel);

}  // namespace bramvelt::cli
