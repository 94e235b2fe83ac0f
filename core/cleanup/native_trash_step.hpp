#pragma once
// The Trash action's step: the engine never moves the item itself. It issues a
// single-use authorization for the item, registers it under the item's id, asks the sink
// (through a NativeTrashRequest) to have the host move it, and reads the outcome from the
// authorization's state or a host's late acknowledgement.

#include "core/cleanup/progress_reporter.hpp"
#include "core/cleanup/validation.hpp"
#include "core/host_trash/host_link.hpp"
#include "core/host_trash/trash_authorization.hpp"
#include "core/host_trash/trash_wait.hpp"

namespace bramvelt::cleanup {

// The re-check of everything below the item that the host side runs before the move:
// a fresh snapshot of the tree, compared with `authorized` (shared, never copied) and
// dropped at once. A difference is the authorization's own "changed" failure, so the
// user never reads of a backup that does not exist.
host_trash::TreeRecheck tree_recheck_of(std::shared_ptr<const TreeSnapshot> authorized);

// Moved, Indeterminate (the host may have moved it; the run is cancelled) or a failure
// text, not yet sanitized. Without a registry in `link` no authorization exists and only
// an acknowledgement can settle the move.
host_trash::TrashOutcome native_trash_step(const AuthorizedItem& item,
                                           host_trash::CleanupHostLink& link,
                                           ProgressReporter& reporter,
                                           const host_trash::TrashWaitTimings& timings = {});

}  // namespace bramvelt::cleanup
