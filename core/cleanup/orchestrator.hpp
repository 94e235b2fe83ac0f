#pragma once
// Carries out a cleanup plan: validates it, reports its start, runs the action's steps
// on each authorized item behind the step guard, reports each item's result and the
// plan's summary. A failed item never stops the plan; nothing done before a failure is
// undone. Everything runs on the calling thread, the sink included.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/cleanup/action.hpp"
#include "core/cleanup/event.hpp"
#include "core/cleanup/plan.hpp"
#include "core/cleanup/progress.hpp"
#include "core/cleanup/result.hpp"
#include "core/host_trash/host_link.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kCannotRemoveRoot = "Cannot remove a root";
inline constexpr std::string_view kRemovalNotConfirmed =
    "Output removal was not confirmed; scan again.";
inline constexpr std::string_view kNativeTrashUnknown =
    "Native Trash result is unknown; inspect the original location and Trash before trying again";
// The actions whose steps this build does not carry fail each item with this text.
inline constexpr std::string_view kActionUnsupported = "This cleanup action is not supported here";

// The sink receives either one Failed (code "cleanup_preflight", or "cancelled" when the
// cancel flag was set as validation failed) and nothing else, or PlanStarted, then for
// each authorized item its steps' events, one ItemFinished and one Progress counting it,
// then one Summary. The Trash action registers its authorizations in the host link's
// registry and waits on its acknowledgements; the sink serves each NativeTrashRequest
// before it returns. An exception inside an item's steps (the sink's calls included)
// fails that item with its text (platform/resource_exhaustion.hpp), and the plan sets
// the cancel flag itself so that no later item starts; one before the first item
// refuses the plan ("cleanup_preflight"). An event the sink throws on is lost, and stops
// the plan the same way.
void execute_cleanup_plan(const CleanupPlan& plan, const CancelFlag& cancel,
                          host_trash::CleanupHostLink& host_link, const CleanupEventSink& sink);

// How an item that a one-item plan cleaned ended.
struct PlanOutcome {
    CleanupStatus status = CleanupStatus::Removed;  // Removed or Trashed
    std::uint64_t processed_bytes = 0;
};

// How an item that a one-item plan did not clean ended: the item's own error, status,
// code and bytes when the plan reported the item, else the plan's failure text (status
// Cancelled when the cancel flag is set by then).
struct PlanFailure {
    std::string message;
    CleanupStatus status = CleanupStatus::Failed;  // Failed or Cancelled
    // kCodeNativeTrashIndeterminate, or kCodeDevelopmentPartial when part of the item was
    // removed before the stop
    std::optional<std::string> error_code;
    std::uint64_t processed_bytes = 0;  // what went before the stop
    // The plan stopped the run through its cancel flag on an exception (memory ran out, a
    // thread could not start, the sink failed) and the item Failed: it stays Failed,
    // whatever the flag says now.
    bool stopped_run = false;
};

// One item as a plan of its own whose scan root is the item's parent folder. The caller's
// sink sees the plan's progress rebased onto `caller_progress` (which the caller keeps
// current) and its Trash and backup requests, nothing else; the item's outcome is the
// return value: its status and bytes when removed or trashed, else how it failed.
std::expected<PlanOutcome, PlanFailure> run_cleanup_plan(
    const policy::PolicyContext& context, const CleanupAction& action,
    policy::Acknowledgement acknowledged, const CleanupItem& item, const CancelFlag& cancel,
    host_trash::CleanupHostLink& host_link, const CleanupProgress& caller_progress,
    const CleanupEventSink& caller_sink);

}  // namespace bramvelt::cleanup
