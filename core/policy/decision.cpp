#include "core/policy/decision.hpp"

#include "core/filesystem/byte_path.hpp"
#include "core/filesystem/mount.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "core/filesystem/real_path.hpp"
#include "core/policy/normalize.hpp"
#include "platform/file_status.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::policy {

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
        const auto status = platform::status_of_path(n, platform::FollowFinalLink::no);
        if (!status) {
            return refused_decision(path, kMissingOrInaccessible, kCodeMissingOrInaccessible);
        }
        if (status->is_dataless()) {
            return refused_decision(path, kOnlineOnly, kCodeOnlineOnly);
        }
        const bool is_symlink = status->is_symlink();
        if (filesystem::is_mount_point(n)) {
            return refused_decision(path, kMountedFilesystemRoot, kCodeVolumeRoot);
        }
        auto identity = filesystem::read_identity(n);

        auto real = filesystem::real_path(n);
        if (!real && is_symlink) {
            real = resolve_through_parent(n);
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
        if (!identity) {
            return refused_decision(path, kIdentityUnavailable, kCodeIdentityUnavailable);
        }
        decision.identity = std::move(*identity);
        decision.canonical_path = std::move(*canonical);
        decision.is_symlink = is_symlink;
    }
    decision.messages = std::move(chosen.messages);
    decision.codes = std::move(chosen.codes);
    decision.verdict = chosen.verdict;
    return decision;
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
