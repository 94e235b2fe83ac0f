#include "src/cli/interrupt.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
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

constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGQUIT};

}  // namespace

void InterruptGuard::CaughtSignal::catch_unless_ignored(int signal) {
    signal_ = signal;
    // A signal the process inherited as ignored (a job started with `&`, `nohup`) was
    // meant to be ignored by whoever started us; it stays so.
    if (::sigaction(signal, nullptr, &previous_) != 0 || previous_.sa_handler == SIG_IGN) {
        return;
    }
    struct sigaction caught {};
    caught.sa_handler = on_stop_signal;
    caught.sa_flags = SA_RESTART;  // calls under way go on; the watcher does the stopping
    ::sigemptyset(&caught.sa_mask);
    replaced_ = ::sigaction(signal, &caught, nullptr) == 0;
}

void InterruptGuard::CaughtSignal::restore() {
    if (replaced_) ::sigaction(signal_, &previous_, nullptr);
    replaced_ = false;
}

InterruptGuard::InterruptGuard(std::unique_lock<std::mutex> lock, CancelFlag cancel)
    : lock_guard_(std::move(lock)), done_(std::make_shared<Wakeup>()) {
    g_stop_signal.store(0, std::memory_order_relaxed);
    sigint_.catch_unless_ignored(SIGINT);
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
        // No bridge: Ctrl-C goes back to what it did, and the caller hears why.
        sigint_.restore();
        throw;
    }
}

int InterruptGuard::stop_signal() const {
    return g_stop_signal.load(std::memory_order_relaxed);
}

// The bridge is only asked for: its watcher is what turns the recorded signal into the
// operation's cancel flag.
InterruptGuard::EndingSignals::EndingSignals(const InterruptGuard& /*bridge*/) {
    static_assert(std::size(kEndingSignals) == kCount);
    for (std::size_t i = 0; i < kCount; ++i) caught_[i].catch_unless_ignored(kEndingSignals[i]);
}

InterruptGuard::EndingSignals::~EndingSignals() {
    for (CaughtSignal& caught : caught_) caught.restore();
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
    sigint_.restore();
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
