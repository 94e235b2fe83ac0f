#pragma once
// The state every step of a plan reports its progress through, and the one call that
// decides whether a report reaches the sink: stage changes and forced reports go out at
// once, other reports at most once per 80 ms.

#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

#include "core/cleanup/event.hpp"
#include "core/cleanup/plan.hpp"
#include "core/cleanup/progress.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::cleanup {

using Instant = std::chrono::steady_clock::time_point;
// The monotonic clock, replaceable so tests control time.
using ProgressClock = std::function<Instant()>;

inline constexpr std::chrono::nanoseconds kProgressInterval = std::chrono::milliseconds(80);

// Owned by the orchestrator for one plan; steps receive it by mutable reference.
struct ProgressReporter {
    ProgressReporter(const CleanupPlan& plan, CancelFlag cancel, CleanupEventSink sink,
                     ProgressClock clock = {});

    CleanupProgress progress;
    Instant last_emitted;  // when emit_cleanup_progress last sent; starts at construction
    const CleanupPlan& plan;
    CancelFlag cancel;
    CleanupEventSink sink;
    policy::Acknowledgement acknowledged;
    ProgressClock clock;

    Instant now() const { return clock(); }
};

// Whether more than 80 ms have passed since the last report (a clock that went back
// says no), so a walk builds its detail text only when a report would go out.
bool progress_due(const ProgressReporter& reporter);

enum class ForceReport { No, Yes };

// Records the stage, the detail (made text and sanitized) and the item id, then sends a
// Progress when forced, when the stage changed, or when progress_due.
void emit_cleanup_progress(ProgressReporter& reporter, std::string_view stage,
                           std::optional<std::string_view> detail,
                           std::optional<std::string_view> item_id, ForceReport force);

// Sends the reporter's progress as it stands, leaving last_emitted alone.
void send_progress_now(ProgressReporter& reporter);

}  // namespace bramvelt::cleanup
