#include "core/development/ahead_threads.hpp"

#include <atomic>
#include <new>
#include <system_error>

namespace bramvelt::development {
namespace {

std::atomic<AheadFailure> injected{AheadFailure::None};

}  // namespace

bool start_ahead_thread(std::vector<std::thread>& threads, std::function<void()> body) noexcept {
    try {
        if (injected.load() == AheadFailure::ThreadStart) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        threads.emplace_back(std::move(body));
        return true;
    } catch (...) {
        return false;
    }
}

void fail_work_ahead_for_testing(AheadFailure failure) {
    injected.store(failure);
}

void job_failure_point_for_testing() {
    if (injected.load() == AheadFailure::JobThrows) throw std::bad_alloc();
}

}  // namespace bramvelt::development
