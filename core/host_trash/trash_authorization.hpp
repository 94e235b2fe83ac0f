#pragma once
// A single-use permission to move one item to the Trash. The cleanup step issues it and
// waits; the front end's sink reserves it with its token and has the host move the item;
// the outcome is left in its state, which the step reads. Held jointly by the step, the
// run's registry and any sink that looked it up.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/filesystem/identity.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "core/policy/context.hpp"
#include "core/policy/decision.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::host_trash {

using Clock = std::chrono::steady_clock;

// How long an authorization may be reserved and re-checked after it was issued.
inline constexpr std::chrono::seconds kAuthorizationLifetime{120};
// Random bytes in a token, written as twice as many lower-case hexadecimal digits.
inline constexpr std::size_t kTokenBytes = 24;

enum class TrashState : std::uint8_t {
    Issued = 0,
    Reserved = 1,
    Trashed = 2,
    Failed = 3,
    Indeterminate = 4,
};

// What the re-check of everything below the item found. Changed is reported as the
// authorization's own "changed" text: no backup is involved in a move to the Trash.
struct TreeRecheckFailure {
    enum class Kind { Changed, Other };
    Kind kind = Kind::Changed;
    std::string message;  // Other's text
};

// Compares the item's tree as it is now (at `path`, read afresh) with the tree that was
// authorized. The cleanup step supplies it, bound to the validation snapshot it shares
// rather than copies; each call's fresh snapshot is dropped when the call returns.
using TreeRecheck = std::function<std::expected<void, TreeRecheckFailure>(
    std::string_view path, const CancelFlag& cancel, policy::Acknowledgement acknowledged)>;

// Everything fixed when an authorization is issued.
struct TrashAuthorizationFields {
    policy::PolicyContext context;
    filesystem::ParentHandle parent;  // the item's opened parent
    filesystem::FileIdentity identity;
    std::string item_id;
    std::string path;  // the item's canonical path
    std::string token;
    Clock::time_point issued_at;
    TreeRecheck tree_recheck;
    CancelFlag cancel;  // the run's own flag
    policy::Acknowledgement acknowledged = policy::Acknowledgement::Missing;
};

class TrashAuthorization {
  public:
    explicit TrashAuthorization(TrashAuthorizationFields fields) : fields_(std::move(fields)) {}
    TrashAuthorization(const TrashAuthorization&) = delete;
    TrashAuthorization& operator=(const TrashAuthorization&) = delete;

    const policy::PolicyContext& context() const { return fields_.context; }
    const filesystem::ParentHandle& parent() const { return fields_.parent; }
    const filesystem::FileIdentity& identity() const { return fields_.identity; }
    const std::string& item_id() const { return fields_.item_id; }
    const std::string& path() const { return fields_.path; }
    const std::string& token() const { return fields_.token; }
    Clock::time_point issued_at() const { return fields_.issued_at; }
    const TreeRecheck& tree_recheck() const { return fields_.tree_recheck; }
    const CancelFlag& cancel() const { return fields_.cancel; }
    policy::Acknowledgement acknowledged() const { return fields_.acknowledged; }

    TrashState state() const { return state_.load(std::memory_order_acquire); }
    // The two ways out of Issued: only one caller can win.
    bool change_state(TrashState from, TrashState to);
    // The holder of a reservation settles it.
    void store_state(TrashState state) { state_.store(state, std::memory_order_release); }
    // The failure text first, then the state that announces it.
    void store_failure(TrashState state, std::string message);
    std::optional<std::string> message() const;

  private:
    const TrashAuthorizationFields fields_;
    mutable std::mutex message_mutex_;
    std::optional<std::string> message_;
    std::atomic<TrashState> state_{TrashState::Issued};
};

// A fresh single-use token (getentropy), or the random source's error text.
std::expected<std::string, std::string> new_trash_token();

// The same entry as far as the host can tell: device, inode and kind.
bool same_entry(const filesystem::FileIdentity& a, const filesystem::FileIdentity& b);

// Younger than the lifetime in whole seconds at `now`; an instant before the issue
// counts as young.
bool within_lifetime(const TrashAuthorization& authorization, Clock::time_point now);

}  // namespace bramvelt::host_trash
