#pragma once
// Waits for something another thread or process makes true (a file that appears, a
// process that ends) by polling it, with a limit far above what a busy machine needs.

#include <chrono>
#include <thread>

namespace bramvelt::testing {

// True as soon as `done()` is; false when `limit` passed first.
template <class Predicate>
bool eventually(Predicate done,
                std::chrono::steady_clock::duration limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace bramvelt::testing
