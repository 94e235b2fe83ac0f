#include "core/host_trash/trash_wait.hpp"

#include <cerrno>
#include <optional>
#include <thread>

#include "core/host_trash/trash_texts.hpp"

namespace bramvelt::host_trash {
namespace {

void cancel_run(const CancelFlag& cancel) {
    if (cancel) cancel->store(true);
}

// The outcome the authorization's state already tells, if any.
std::optional<TrashOutcome> outcome_of_state(const TrashAuthorization& authorization) {
    switch (authorization.state()) {
        case TrashState::Trashed:
            return TrashOutcome::moved();
        case TrashState::Indeterminate:
            return TrashOutcome::indeterminate();
        case TrashState::Failed:
            return TrashOutcome::failed(
                authorization.message().value_or(std::string(kNotCompleted)));
        case TrashState::Issued:
        case TrashState::Reserved:
            break;
    }
    return std::nullopt;
}

// A host that answers success without an authorization: believed only when the item
// is no longer at its place.
TrashOutcome judge_unauthorized_success(const TrashWait& wait) {
    const auto now = filesystem::read_identity(wait.path);
    if (!now) {
        if (now.error().error_number == ENOENT) return TrashOutcome::moved();
        return TrashOutcome::failed(std::string(kCannotVerify));
    }
    if (same_entry(*now, wait.identity)) return TrashOutcome::failed(std::string(kItemRemains));
    return TrashOutcome::moved();
}

TrashOutcome judge(const TrashWait& wait, const HostAcknowledgement& acknowledgement) {
    if (acknowledgement.item_id != wait.item_id || acknowledgement.token != wait.token) {
        return TrashOutcome::failed(std::string(kAcknowledgementMismatch));
    }
    if (!acknowledgement.success) {
        return TrashOutcome::failed(acknowledgement.message.value_or(std::string(kHostFailed)));
    }
    if (wait.authorization) return TrashOutcome::failed(std::string(kNotExecutedByAuthorization));
    return judge_unauthorized_success(wait);
}

TrashOutcome on_acknowledgement(const TrashWait& wait, const HostAcknowledgement& acknowledgement) {
    if (wait.authorization) {
        if (acknowledgement.item_id != wait.item_id || acknowledgement.token != wait.token ||
            !acknowledgement.success) {
            cancel_run(wait.cancel);
        }
        const TrashState state = wait.authorization->state();
        if (state == TrashState::Trashed) return TrashOutcome::moved();
        if (state == TrashState::Indeterminate) return TrashOutcome::indeterminate();
    }
    return judge(wait, acknowledgement);
}

TrashOutcome wait_for_outcome(const TrashWait& wait, AcknowledgementReceiver& acknowledgements,
                              const TrashWaitTimings& timings) {
    const Clock::time_point start = Clock::now();
    for (;;) {
        if (wait.authorization) {
            if (auto settled = outcome_of_state(*wait.authorization)) return *settled;
        }
        if (is_cancelled(wait.cancel)) return TrashOutcome::failed(std::string(kCleanupCancelled));
        if (Clock::now() - start > timings.lifetime) {
            if (wait.authorization) cancel_run(wait.cancel);
            return TrashOutcome::failed(std::string(kAuthorizationExpired));
        }
        Received received = acknowledgements.receive_until(Clock::now() + timings.turn);
        switch (received.kind) {
            case Received::Kind::Timeout:
                continue;
            case Received::Kind::Disconnected:
                if (wait.authorization) cancel_run(wait.cancel);
                return TrashOutcome::failed(std::string(kCallbackDisconnected));
            case Received::Kind::Message:
                return on_acknowledgement(wait, *received.message);
        }
    }
}

// No host may take the authorization any more; one that already did gets its time.
TrashOutcome give_up(TrashAuthorization& authorization, TrashOutcome waited,
                     const CancelFlag& cancel, const TrashWaitTimings& timings) {
    authorization.change_state(TrashState::Issued, TrashState::Failed);
    const Clock::time_point until = Clock::now() + timings.host_grace;
    while (authorization.state() == TrashState::Reserved && Clock::now() < until) {
        std::this_thread::sleep_for(timings.grace_turn);
    }
    switch (authorization.state()) {
        case TrashState::Trashed:
            return TrashOutcome::moved();
        case TrashState::Indeterminate:
        case TrashState::Reserved:
            cancel_run(cancel);
            return TrashOutcome::indeterminate();
        case TrashState::Issued:
        case TrashState::Failed:
            break;
    }
    return waited;
}

}  // namespace

TrashOutcome await_native_trash(const TrashWait& wait, AcknowledgementReceiver& acknowledgements,
                                const TrashWaitTimings& timings) {
    TrashOutcome outcome = wait_for_outcome(wait, acknowledgements, timings);
    if (outcome.kind == TrashOutcome::Kind::Moved || !wait.authorization) return outcome;
    return give_up(*wait.authorization, std::move(outcome), wait.cancel, timings);
}

}  // namespace bramvelt::host_trash
