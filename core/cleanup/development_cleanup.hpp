#pragma once
// A reviewed development cleanup, carried out item by item: each item is compared with
// its identity at review and searched again, and only an item that still gets the same
// verdict is cleaned (generated output through the orchestrator; a clean worktree after
// its own outputs, once Git confirms it would remove it unforced). Every stage and result
// goes to the sink.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/cleanup/action.hpp"
#include "core/cleanup/event.hpp"
#include "core/development/types.hpp"
#include "core/filesystem/identity.hpp"
#include "core/host_trash/trash_registry.hpp"
#include "core/policy/context.hpp"
#include "core/policy/decision.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::cleanup {

inline constexpr std::size_t kMaxDevCleanupItems = 256;
inline constexpr std::size_t kMaxDevCleanupRoots = 32;

// One reviewed item.
struct DevCleanupItem {
    filesystem::FileIdentity identity;  // at review
    std::string item_id;                // "item-" and its number from 0
    std::string path;                   // absolute
    development::CandidateKind kind = development::CandidateKind::Build;
    std::optional<std::string> head;  // a worktree's HEAD commit at review
};

struct DevCleanupRequest {
    policy::PolicyContext context;
    std::vector<std::string> roots;  // the folders that were searched
    std::vector<DevCleanupItem> items;
    CleanupAction action;  // Trash or Delete
    policy::Acknowledgement acknowledged = policy::Acknowledgement::Missing;
    bool verify_remotes = false;
};

// Runs the whole request; every result reaches `sink`: one Failed and nothing else, or
// PlanStarted, then for each item a "checking_development" Progress, its own Progress
// and Trash requests, for a worktree that reaches its removal one "removing_worktree"
// Progress, its ItemFinished and a Progress counting it; then Summary. The caller makes a
// new registry for every run and gives the same one to its sink, which serves the run's
// Trash requests. An exception while an item is under way (memory ran out, a thread
// could not start, the sink failed) fails that item with its text
// (platform/resource_exhaustion.hpp), "development_partial" with its bytes when part of it
// went; the run then sets the cancel flag itself, so later items end stopped and nothing
// more is removed. One before the first item refuses the run ("development_preflight").
void run_dev_cleanup(const DevCleanupRequest& request, const CancelFlag& cancel,
                     std::shared_ptr<host_trash::TrashRegistry> registry,
                     const CleanupEventSink& sink);

}  // namespace bramvelt::cleanup
