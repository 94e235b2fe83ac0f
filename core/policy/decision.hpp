#pragma once
// The one question every removal asks: may this path be touched, must the user
// acknowledge it first, or is it refused, and why. Combines context validation,
// normalization, the classification of the path as given and of its real location, and
// the checks only the live file system can answer (exists, not an online-only
// placeholder, not a mount point, identity readable, real path resolvable).

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/filesystem/identity.hpp"
#include "core/filesystem/io_error.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "core/policy/classification.hpp"
#include "core/policy/context.hpp"

namespace bramvelt::policy {

struct PathDecision {
    std::optional<filesystem::FileIdentity> identity;  // as found, final link not followed
    std::optional<std::string> canonical_path;         // the normalized real path
    std::string path;                                  // exactly as the caller passed it
    std::vector<std::string> messages;
    std::vector<std::string> codes;  // `policy.` reason codes parallel to `messages`
    PolicyVerdict verdict = PolicyVerdict::Refused;
    bool is_symlink = false;  // the normalized path itself is a symbolic link
    // The folder holding `canonical_path` as it was opened while deciding (device, inode);
    // absent for a link, whose canonical path names its target, not the link.
    std::optional<std::pair<std::int64_t, std::uint64_t>> parent;
};

inline constexpr std::string_view kCodeContextInvalid = "policy.context_invalid";
inline constexpr std::string_view kCodeInvalidPath = "policy.invalid_path";
inline constexpr std::string_view kCodeUnsupportedTransport = "policy.unsupported_transport";
inline constexpr std::string_view kCodeMissingOrInaccessible = "policy.missing_or_inaccessible";
inline constexpr std::string_view kCodeOnlineOnly = "policy.online_only";
inline constexpr std::string_view kCodeUnresolvable = "policy.unresolvable";
inline constexpr std::string_view kCodeIdentityUnavailable = "policy.identity_unavailable";

inline constexpr std::string_view kCloudUnsupported =
    "Cloud paths require a provider-specific policy and transport";
inline constexpr std::string_view kMissingOrInaccessible =
    "Path is missing or inaccessible; refresh before cleanup";
inline constexpr std::string_view kOnlineOnly =
    "Online-only cloud placeholders cannot be cleaned as local data";
inline constexpr std::string_view kMountedFilesystemRoot =
    "Mounted filesystem roots cannot be removed";
inline constexpr std::string_view kCannotResolve = "Cannot resolve path safely";
inline constexpr std::string_view kIdentityUnavailable = "Cannot establish file identity safely";
inline constexpr std::string_view kAcknowledgementRequired =
    "Explicit acknowledgement is required for this item";
inline constexpr std::string_view kPathNotUtf8 =
    "Path is not valid UTF-8 and cannot be checked safely";

// Never fails: every problem is a Refused decision with its reason code.
PathDecision evaluate_path_policy(const PolicyContext& context, std::string_view path);

// The decision for file-system bytes: bytes that are not valid UTF-8 are refused with
// kPathNotUtf8 and `policy.invalid_path` (after the context's own validation, as for
// text), since their replaced text could name another entry; valid text is decided by
// evaluate_path_policy.
PathDecision evaluate_path_bytes(const PolicyContext& context, std::string_view path_bytes);

// Whether the user has acknowledged the item that an action is about to touch.
enum class Acknowledgement { Missing, Given };

// The gate before an action: Allowed passes; NeedsAcknowledgement passes only when the
// acknowledgement is given; Refused fails with its messages joined by "; ". Decided by
// evaluate_path_bytes.
std::expected<PathDecision, std::string> require_acknowledgement(const PolicyContext& context,
                                                                 std::string_view path_bytes,
                                                                 Acknowledgement acknowledgement);

// build_policy with `normalized` as target, then classify_path of `normalized`.
PathClassification classify_with_policy(const PolicyContext& context, std::string_view normalized);

// For a path whose own real path cannot be resolved (a dangling link): its parent's real
// path joined with its final name.
std::expected<std::string, filesystem::IoError> resolve_through_parent(std::string_view path);

// The parent of the decision's canonical path, opened with no link followed anywhere,
// checked to be the folder the decision saw (kParentChanged otherwise). Every action on a
// decided item starts here, so a link swapped in after the decision fails the action
// instead of redirecting it. A decision without a canonical path or a recorded parent
// (refused, remote, or a link) cannot be acted on: kCannotResolve.
std::expected<filesystem::ParentHandle, filesystem::IoError> open_decided_parent(
    const PathDecision& decision);

PathDecision refused_decision(std::string_view path, std::string_view message,
                              std::string_view code);

}  // namespace bramvelt::policy
