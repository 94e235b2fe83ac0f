#pragma once
// What the development search and the cleanup run send to the interface. Search
// updates are matched with the view's search generation, cleanup updates with its
// cleanup generation.

#include <string>
#include <variant>

#include "core/cleanup/event.hpp"
#include "core/development/types.hpp"

namespace bramvelt::tui {

struct DevCandidateUpdate {
    development::DevCandidate candidate;
};
struct DevProgressUpdate {
    development::DevScanSummary summary;
};
struct DevFinishedUpdate {
    development::DevScanSummary summary;
};
struct DevFailedUpdate {
    std::string message;
};
struct DevCleanupUpdate {
    cleanup::CleanupEvent event;
};
struct DevCleanupDone {};

using DevUpdate = std::variant<DevCandidateUpdate, DevProgressUpdate, DevFinishedUpdate,
                               DevFailedUpdate, DevCleanupUpdate, DevCleanupDone>;

}  // namespace bramvelt::tui
