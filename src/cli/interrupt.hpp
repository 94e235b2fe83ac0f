#pragma once
// Turns Ctrl-C into an operation's cancel flag instead of ending the process. While a
// guard lives, SIGINT only records itself in a process-wide value; a watcher thread
// copies it into the cancel flag every 10 ms. Dropping the guard stops and joins the
// watcher and puts the previous SIGINT disposition back. One bridge exists at a time: a
// second install waits for the first guard to go.

#include <signal.h>

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

    // The first signal that asked to stop since this bridge was installed (SIGINT, or
    // SIGTERM or SIGHUP while caught), or 0. A cancel flag may also be set by the
    // operation itself; this tells the user's request apart.
    int stop_signal() const;

    // While the result lives, SIGTERM and SIGHUP stop the operation as Ctrl-C does
    // instead of ending the process, so that a run ended by a time limit or a closed
    // terminal still reports what it did. A signal the process inherited as ignored stays
    // ignored. Dropping the result puts both dispositions back.
    class EndingSignals {
      public:
        explicit EndingSignals(const InterruptGuard& bridge);
        ~EndingSignals();
        EndingSignals(const EndingSignals&) = delete;
        EndingSignals& operator=(const EndingSignals&) = delete;
        EndingSignals(EndingSignals&&) = delete;
        EndingSignals& operator=(EndingSignals&&) = delete;

      private:
        struct sigaction previous_[2] = {};
        bool replaced_[2] = {};
    };
    std::unique_ptr<EndingSignals> catch_ending_signals() const;

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

// The exit status of an operation stopped by `stop_signal` (see stop_signal()): 128 + the
// signal, and 130, as for Ctrl-C, when none was seen but the operation was cancelled.
int interrupted_status(int stop_signal);

// SIGTERM and SIGHUP ask the program to end, not only to stop what it is doing: once
// either was seen, the program reports it in its status even when its work was done.
bool told_to_end(int stop_signal);

}  // namespace bramvelt::cli
