#pragma once
// The pieces of the interface's main loop that decide without a terminal: applying
// worker messages within the turn's time budget, and when a turn draws.

#include <chrono>
#include <cstddef>

#include "src/tui/app.hpp"
#include "src/tui/ui_message.hpp"

namespace bramvelt::tui {

using Clock = std::chrono::steady_clock;

inline constexpr std::chrono::milliseconds kDrainBudget{15};
inline constexpr std::chrono::milliseconds kIdleRedraw{120};
inline constexpr std::chrono::milliseconds kInputWait{40};

// Hands one message to the view it belongs to.
void apply_message(App& app, UiMessage message);

// Applies the first waiting message, then more while `now()` has not passed `deadline`;
// returns how many were applied. What is left waits for the next turn.
template <typename Now>
std::size_t drain_messages(App& app, UiReceiver& receiver, Clock::time_point deadline, Now now) {
    std::size_t applied = 0;
    while (auto message = receiver.try_receive()) {
        apply_message(app, std::move(*message));
        ++applied;
        if (now() > deadline) break;
    }
    return applied;
}

// A turn with no message draws when asked to, or when the idle interval has passed (a
// clock that went back counts as not passed).
bool idle_redraw_due(bool redraw, Clock::time_point last_draw, Clock::time_point now);

}  // namespace bramvelt::tui
