#pragma once
// Turns Ctrl-C into an operation's cancel flag instead of ending the process. While a
// guard lives, SIGINT only records itself in a process-wide value; a watcher thread
// copies it into the cancel flag every 10 ms. Dropping the guard stops and joins the
// watcher and puts the previous SIGINT disposition back. A SIGINT the process inherited
// as ignored stays ignored. One bridge exists at a time: a second install waits for the
// first guard to go.

#include <signal.h>

#include <condition_variable>
#include <csignal>
#include <cstddef>
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
    // SIGTERM, SIGHUP or SIGQUIT while caught), or 0. A cancel flag may also be set by
    // the operation itself; this tells the user's request apart.
    int stop_signal() const;

  private:
    // One signal recorded by the bridge in place of its disposition, unless the process
    // inherited it as ignored; restore() puts the disposition back.
    class CaughtSignal {
      public:
        void catch_unless_ignored(int signal);
        void restore();

      private:
        int signal_ = 0;
        struct sigaction previous_ = {};
        bool replaced_ = false;
    };

  public:
    // While the result lives, SIGTERM, SIGHUP and SIGQUIT stop the operation as Ctrl-C
    // does instead of ending the process, so that a run ended by a time limit, a closed
    // terminal or Ctrl-\ still reports what it did and leaves no Git command running. A
    // signal the process inherited as ignored stays ignored. Dropping the result puts the
    // dispositions back.
    class EndingSignals {
      public:
        explicit EndingSignals(const InterruptGuard& bridge);
        ~EndingSignals();
        EndingSignals(const EndingSignals&) = delete;
        EndingSignals& operator=(const EndingSignals&) = delete;
        EndingSignals(EndingSignals&&) = delete;
        EndingSignals& operator=(EndingSignals&&) = delete;

      private:
        static constexpr std::size_t kCount = 3;
        CaughtSignal caught_[kCount];
    };
    std::unique_ptr<EndingSignals> catch_ending_signals() const;

  private:
    friend // Throws what the watcher's start threw (memory or threads ran out), with SIGINT as it was.
std::unique_ptr<InterruptGuard> install_interrupt_bridge(CancelFlag cancel);
    struct Wakeup {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    InterruptGuard(std::unique_lock<std::mutex> lock, CancelFlag cancel);
    void release_interrupt_bridge();

    std::unique_lock<std::mutex> lock_guard_;
    std::shared_ptr<Wakeup> done_;
    CaughtSignal sigint_;
    std::thread watcher_;
};

// Throws what the watcher's start threw (memory or threads ran out), with SIGINT as it was.
std::unique_ptr<InterruptGuard> install_interrupt_bridge(CancelFlag cancel);

// The exit status of an operation stopped by `stop_signal` (see stop_signal()): 128 + the
// signal, and 130, as for Ctrl-C, when none was seen but the operation was cancelled.
int interrupted_status(int stop_signal);

// SIGTERM, SIGHUP and SIGQUIT ask the program to end, not only to stop what it is doing:
// once one was seen, the program reports it in its status even when its work was done.
bool told_to_end(int stop_signal);

}  // namespace bramvelt::cli
