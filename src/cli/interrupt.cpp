#include "src/cli/interrupt.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace bramvelt::cli {
namespace {

// The first signal that asked to stop; 0 while none has.
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

std::mutex g_interrupt_bridge_lock;

extern "C" void on_stop_signal(int signal) {
    int none = 0;
    g_stop_signal.compare_exchange_strong(none, signal, std::memory_order_relaxed);
}

constexpr int kEndingSignals[] = {SIGTERM, SIGHUP};

}  // namespace

InterruptGuard::InterruptGuard(std::unique_lock<std::mutex> lock, CancelFlag cancel)
    : lock_guard_(std::move(lock)), done_(std::make_shared<Wakeup>()) {
    g_stop_signal.store(0, std::memory_order_relaxed);
    previous_handler_ = std::signal(SIGINT, on_stop_signal);
    try {
        watcher_ = std::thread([done = done_, cancel = std::move(cancel)] {
            std::unique_lock<std::mutex> lock(done->mutex);
            while (!done->done) {
                if (g_stop_signal.load(std::memory_order_relaxed) != 0 && cancel) {
                    cancel->store(true);
                }
                done->cv.wait_for(lock, std::chrono::milliseconds(10));
            }
        });
    } catch (...) {
        std::fputs("bramvelt: cannot start the interrupt watcher\n", stderr);
        std::abort();
    }
}

int InterruptGuard::stop_signal() const {
    return g_stop_signal.load(std::memory_order_relaxed);
}

// The bridge is only asked for: its watcher is what turns the recorded signal into the
// operation's cancel flag.
InterruptGuard::EndingSignals::EndingSignals(const InterruptGuard& /*bridge*/) {
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
        if (::sigaction(kEndingSignals[i], nullptr, &previous_[i]) != 0 ||
            previous_[i].sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction caught {};
        caught.sa_handler = on_stop_signal;
        caught.sa_flags = SA_RESTART;  // as SIGINT's handler: calls under way go on
        ::sigemptyset(&caught.sa_mask);
        replaced_[i] = ::sigaction(kEndingSignals[i], &caught, nullptr) == 0;
    }
}

InterruptGuard::EndingSignals::~EndingSignals() {
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
        if (replaced_[i]) ::sigaction(kEndingSignals[i], &previous_[i], nullptr);
    }
}

std::unique_ptr<InterruptGuard::EndingSignals> InterruptGuard::catch_ending_signals() const {
    return std::make_unique<EndingSignals>(*this);
}

InterruptGuard::~InterruptGuard() {
    release_interrupt_bridge();
}

void InterruptGuard::release_interrupt_bridge() {
    {
        std::lock_guard<std::mutex> lock(done_->mutex);
        done_->done = true;
    }
    done_->cv.notify_all();
    if (watcher_.joinable()) {
        watcher_.join();
    }
    if (previous_handler_ != SIG_ERR) {
        std::signal(SIGINT, previous_handler_);
    }
}

int interrupted_status(int stop_signal) {
    return 128 + (stop_signal != 0 ? stop_signal : SIGINT);
}

bool told_to_end(int stop_signal) {
    return std::ranges::find(kEndingSignals, stop_signal) != std::end(kEndingSignals);
}

std::unique_ptr<InterruptGuard> install_interrupt_bridge(CancelFlag cancel) {
    std::unique_lock<std::mutex> lock(g_interrupt_bridge_lock);
    return std::unique_ptr<InterruptGuard>(new InterruptGuard(std::move(lock), std::move(cancel)));
}

}  // namespace bramvelt::cli
