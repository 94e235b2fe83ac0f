#include "core/policy/decision.hpp"

#include "core/filesystem/byte_path.hpp"
#include "core/filesystem/mount.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "core/filesystem/real_path.hpp"
#include "core/policy/normalize.hpp"
#include "platform/file_status.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::policy {
namespace {

// What a decision learns of an entry through its opened parent.
struct ExaminedEntry {
    platform::EntryStatus status;
    bool is_mount_point = false;
    std::string location;  // the real parent joined with the entry's name
    std::optional<std::pair<std::int64_t, std::uint64_t>> parent;
};

// The entry at the normalized path `n`, read through its real parent opened with no link
// followed. Nothing when the entry cannot be reached that way (missing, inaccessible, or a
// link swapped in on the way).
std::optional<ExaminedEntry> examine_entry(const std::string& n) {
    ExaminedEntry entry;
    if (!filesystem::path_parent(n)) {
        // The root: nothing holds it, and it is always a mount point.
        const auto status = platform::status_of_path(n, platform::FollowFinalLink::no);
        if (!status) return std::nullopt;
        entry.status = *status;
        entry.is_mount_point = true;
        entry.location = n;
        return entry;
    }
    auto handle = filesystem::open_parent_dir(n);
    if (!handle) return std::nullopt;
    const auto status =
        platform::status_at(handle->parent_fd(), handle->name().c_str(), platform::FollowFinalLink::no);
    const auto holder = platform::status_of_fd(handle->parent_fd());
    if (!status || !holder) return std::nullopt;
    entry.status = *status;
    entry.is_mount_point =
        status->is_directory() && (status->device != holder->device || status->mount_root);
    entry.location = handle->path();
    entry.parent = std::pair{static_cast<std::int64_t>(holder->device), holder->inode};
    return entry;
}

}  // namespace

PathDecision refused_decision(std::string_view path, std::string_view message,
                              std::string_view code) {
    PathDecision decision;
    decision.path = std::string(path);
    decision.messages = {std::string(message)};
    decision.codes = {std::string(code)};
    decision.verdict = PolicyVerdict::Refused;
    return decision;
}

PathClassification classify_with_policy(const PolicyContext& context, std::string_view normalized) {
    return classify_path(build_policy(context, normalized), normalized);
}

std::expected<std::string, filesystem::IoError> resolve_through_parent(std::string_view path) {
    const std::optional<std::string> parent = filesystem::path_parent(path);
    if (!parent) {
        return std::unexpected(
            filesystem::IoError::other(std::string(filesystem::kMissingFilename)));
    }
    auto real_parent = filesystem::real_path(*parent);
    if (!real_parent) {
        return std::unexpected(std::move(real_parent.error()));
    }
    const std::optional<std::string> name = filesystem::path_file_name(path);
    if (!name) {
        return std::unexpected(
            filesystem::IoError::other(std::string(filesystem::kMissingFilename)));
    }
    return filesystem::path_join(*real_parent, *name);
}

PathDecision evaluate_path_policy(const PolicyContext& context, std::string_view path) {
    if (auto valid = validate_policy_context(context); !valid) {
        return refused_decision(path, valid.error(), kCodeContextInvalid);
    }
    auto normalized = normalize_policy_path(path, context.host_os);
    if (!normalized) {
        return refused_decision(path, normalized.error(), kCodeInvalidPath);
    }
    const std::string& n = *normalized;
    if (context.transport.kind == PolicyTransport::Kind::Cloud) {
        return refused_decision(path, kCloudUnsupported, kCodeUnsupportedTransport);
    }

    PathClassification chosen = classify_with_policy(context, n);

    PathDecision decision;
    decision.path = std::string(path);
    if (context.transport.kind == PolicyTransport::Kind::Local) {
        // Status, mount test, identity and real location all come from one parent folder
        // opened with no link followed, so a link flipped by another process cannot make
        // them describe different entries.
        auto examined = examine_entry(n);
        if (!examined) {
            return refused_decision(path, kMissingOrInaccessible, kCodeMissingOrInaccessible);
        }
        const platform::EntryStatus& status = examined->status;
        if (status.is_dataless()) {
            return refused_decision(path, kOnlineOnly, kCodeOnlineOnly);
        }
        const bool is_symlink = status.is_symlink();
        if (examined->is_mount_point) {
            return refused_decision(path, kMountedFilesystemRoot, kCodeVolumeRoot);
        }
        // A link's real location is its target's, which only a lookup through the link
        // finds; the decision's identity stays the link's own, so nothing acting on the
        // canonical path can mistake the target for the item.
        std::expected<std::string, filesystem::IoError> real = examined->location;
        if (is_symlink) {
            real = filesystem::real_path(n);
            if (!real) real = examined->location;
        }
        if (!real) {
            return refused_decision(path, kCannotResolve, kCodeUnresolvable);
        }
        auto canonical = normalize_canonical_path(*real, context.host_os);
        if (!canonical) {
            return refused_decision(path, kCannotResolve, kCodeUnresolvable);
        }

        PathClassification second = classify_with_policy(context, *canonical);
        const bool stricter = second.verdict == PolicyVerdict::Refused ||
                              (second.verdict == PolicyVerdict::NeedsAcknowledgement &&
                               chosen.verdict == PolicyVerdict::Allowed);
        if (stricter) {
            chosen = std::move(second);
        }
        decision.identity = filesystem::identity_from_status(status);
        decision.canonical_path = std::move(*canonical);
        decision.is_symlink = is_symlink;
        if (!is_symlink && examined->parent) decision.parent = examined->parent;
    }
    decision.messages = std::move(chosen.messages);
    decision.codes = std::move(chosen.codes);
    decision.verdict = chosen.verdict;
    return decision;
}

std::expected<filesystem::ParentHandle, filesystem::IoError> open_decided_parent(
    const PathDecision& decision) {
    if (!decision.canonical_path || !decision.parent) {
        return std::unexpected(filesystem::IoError::other(std::string(kCannotResolve)));
    }
    auto handle = filesystem::open_real_parent(*decision.canonical_path);
    if (!handle) return handle;
    const auto holder = platform::status_of_fd(handle->parent_fd());
    if (!holder) return std::unexpected(filesystem::IoError::os(holder.error()));
    if (static_cast<std::int64_t>(holder->device) != decision.parent->first ||
        holder->inode != decision.parent->second) {
        return std::unexpected(
            filesystem::IoError::other(std::string(filesystem::kParentChanged)));
    }
    return handle;
}

PathDecision evaluate_path_bytes(const PolicyContext& context, std::string_view path_bytes) {
    if (!platform::is_valid_utf8(path_bytes)) {
        // Same order as for text: a broken context is reported before a broken path.
        const std::string text = platform::to_utf8_lossy(path_bytes);
        if (auto valid = validate_policy_context(context); !valid) {
            return refused_decision(text, valid.error(), kCodeContextInvalid);
        }
        return refused_decision(text, kPathNotUtf8, kCodeInvalidPath);
    }
    return evaluate_path_policy(context, path_bytes);
}

std::expected<PathDecision, std::string> require_acknowledgement(const PolicyContext& context,
                                                                 std::string_view path_bytes,
                                                                 Acknowledgement acknowledgement) {
    PathDecision decision = evaluate_path_bytes(context, path_bytes);
    switch (decision.verdict) {
        case PolicyVerdict::Allowed:
            return decision;
        case PolicyVerdict::NeedsAcknowledgement:
            if (acknowledgement == Acknowledgement::Given) return decision;
            return std::unexpected(std::string(kAcknowledgementRequired));
        case PolicyVerdict::Refused:
            break;
    }
    std::string joined;
    for (const std::string& message : decision.messages) {
        if (!joined.empty()) joined += "; ";
        joined += message;
    }
    return std::unexpected(std::move(joined));
}

}  // namespace bramvelt::policy
