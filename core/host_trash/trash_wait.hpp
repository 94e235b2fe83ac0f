#pragma once
// The cleanup step's side of a move to the Trash, after it issued the authorization and
// raised the request: waiting for the outcome (the authorization's state, or a host's
// late acknowledgement), and giving the authorization up when it did not succeed.

#include <chrono>
#include <memory>
#include <string>

#include "core/filesystem/identity.hpp"
#include "core/host_trash/host_link.hpp"
#include "core/host_trash/trash_authorization.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::host_trash {

// How a move to the Trash ended for the step.
struct TrashOutcome {
    enum class Kind { Moved, Indeterminate, Failed };
    Kind kind = Kind::Failed;
    std::string message;  // Failed's text, not yet passed through the report cleaner

    static TrashOutcome moved() { return {Kind::Moved, {}}; }
    static TrashOutcome indeterminate() { return {Kind::Indeterminate, {}}; }
    static TrashOutcome failed(std::string text) { return {Kind::Failed, std::move(text)}; }
};

// The step's time limits; tests shorten them.
struct TrashWaitTimings {
    std::chrono::milliseconds lifetime = kAuthorizationLifetime;  // then the wait expires
    std::chrono::milliseconds turn{80};                           // polling the state and channel
    std::chrono::milliseconds host_grace{35'000};  // for a host that reserved in time (30 s + 5 s)
    std::chrono::milliseconds grace_turn{20};
};

// What the step waits on.
struct TrashWait {
    std::shared_ptr<TrashAuthorization> authorization;  // null when the run has no registry
    std::string item_id;
    std::string token;
    std::string path;                   // the item's canonical path
    filesystem::FileIdentity identity;  // its authorized identity
    CancelFlag cancel;                  // the run's own flag
};

// Polls the authorization's state and the Trash acknowledgements until one settles the
// move, the run is cancelled, or the lifetime passes; then, when the move did not
// succeed, gives the authorization up (Issued -> Failed, so no host can still take it)
// and waits out a host that reserved it in time. Sets the run's cancel flag whenever an
// authorization exists and the wait expires, the channel disconnects, an
// acknowledgement does not match or reports failure, or the outcome is indeterminate.
TrashOutcome await_native_trash(const TrashWait& wait, AcknowledgementReceiver& acknowledgements,
                                const TrashWaitTimings& timings = {});

}  // namespace bramvelt::host_trash
