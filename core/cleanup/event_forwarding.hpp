#pragma once
// Stands between one orchestrated plan and the caller's sink: the caller sees the plan's
// steps as progress of its own current item and learns the plan's outcome from what the
// adapter keeps (the last ItemFinished result, the last Failed message).

#include <optional>
#include <string>

#include "core/cleanup/event.hpp"
#include "core/cleanup/progress.hpp"
#include "core/cleanup/result.hpp"

namespace bramvelt::cleanup {

class ExecutorEventAdapter {
  public:
    // Both are the caller's and must outlive the adapter; the caller keeps its progress
    // current while the plan runs.
    ExecutorEventAdapter(const CleanupEventSink& caller_sink,
                         const CleanupProgress& caller_progress)
        : caller_sink_(caller_sink), caller_progress_(caller_progress) {}

    // PlanStarted and Summary are dropped; Progress is rebased onto the caller's progress
    // (its items, its item id, its bytes plus the plan's); ItemFinished and Failed are
    // kept, not sent on; the requests go on unchanged.
    void forward_executor_event(CleanupEvent event);

    const std::optional<CleanupItemResult>& kept_result() const { return result_; }
    const std::optional<std::string>& kept_failure() const { return failed_message_; }

  private:
    const CleanupEventSink& caller_sink_;
    const CleanupProgress& caller_progress_;
    std::optional<std::string> failed_message_;
    std::optional<CleanupItemResult> result_;
};

}  // namespace bramvelt::cleanup
