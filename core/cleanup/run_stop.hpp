#pragma once
// An exception in the middle of a cleanup run (memory that ran out, a thread that could
// not start, a sink that could not take an event) leaves the item under way in no known
// state. That item fails with the exception's text, and the run stops itself through its
// cancel flag, as a stop the user asked for would: nothing is removed after the failure,
// later items end stopped, and a caller that runs batches starts no more.

#include <string>
#include <utility>

#include "platform/cancel_flag.hpp"

namespace bramvelt::cleanup {

inline void stop_run(const CancelFlag& cancel) noexcept {
    if (cancel) cancel->store(true);
}

// Stops the run and returns the text of the exception being handled: call it in a catch
// block.
std::string stop_run_for_exception(const CancelFlag& cancel);

// Calls `send` (one call of the run's sink); when that throws, the event is lost and the
// run stops. True when it stopped.
template <class Send>
bool send_or_stop(const CancelFlag& cancel, Send&& send) noexcept {
    try {
        std::forward<Send>(send)();
        return false;
    } catch (...) {
        stop_run(cancel);
        return true;
    }
}

}  // namespace bramvelt::cleanup
