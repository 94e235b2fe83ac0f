#include "src/cli/interrupt.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace bramvelt::cli {
namespace {

std::atomic<unsigned char> g_sigint_seen{0};
static_assert(std::atomic<unsigned char>::is_always_lock_free);

std::mutex g_interrupt_bridge_lock;

extern "C" void on_sigint(int) {
    g_sigint_seen.store(1, std::memory_order_relaxed);
}

}  // namespace

InterruptGuard::InterruptGuard(std::unique_lock<std::mutex> lock, CancelFlag cancel)
    : lock_guard_(std::move(lock)), done_(std::make_shared<Wakeup>()) {
    g_sigint_seen.store(0, std::memory_order_relaxed);
    previous_handler_ = std::signal(SIGINT, on_sigint);
    try {
        watcher_ = std::thread([done = done_, cancel = std::move(cancel)] {
            std::unique_lock<std::mutex> lock(done->mutex);
            while (!done->done) {
                if (g_sigint_seen.load(std::memory_order_relaxed) != 0 && cancel) {
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

bool InterruptGuard::sigint_seen() const {
    return g_sigint_seen.load(std::memory_order_relaxed) != 0;
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

std::unique_ptr<InterruptGuard> install_interrupt_bridge(CancelFlag cancel) {
    std::unique_lock<std::mutex> lock(g_interrupt_bridge_lock);
    return std::unique_ptr<InterruptGuard>(new InterruptGuard(std::move(lock), std::move(cancel)));
}

}  // namespace bramvelt::cli
