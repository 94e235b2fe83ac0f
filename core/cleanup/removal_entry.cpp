#include "core/cleanup/removal_entry.hpp"

#include <algorithm>
#include <bit>

#include "core/cleanup/dev_cleanup_texts.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::cleanup {
namespace {

std::expected<void, std::string> check_policy(std::string_view path, const RemovalRules& rules) {
    const std::string lossy =
        platform::is_valid_utf8(path) ? std::string() : platform::to_utf8_lossy(path);
    const policy::PathClassification found =
        policy::classify_path(*rules.policy, lossy.empty() ? path : std::string_view(lossy));
    switch (found.verdict) {
        case policy::PolicyVerdict::Allowed:
            return {};
        case policy::PolicyVerdict::NeedsAcknowledgement: {
            if (rules.acknowledged == policy::Acknowledgement::Given) return {};
            const bool hidden_only = std::ranges::all_of(found.codes, [](const std::string& code) {
                return code == policy::kCodeHiddenData;
            });
            if (rules.hidden_entries == HiddenEntries::Allowed && hidden_only) return {};
            return std::unexpected(std::string(policy::kAcknowledgementRequired));
        }
        case policy::PolicyVerdict::Refused:
            break;
    }
    std::string joined;
    for (const std::string& message : found.messages) {
        if (!joined.empty()) joined += "; ";
        joined += message;
    }
    return std::unexpected(std::move(joined));
}

}  // namespace

std::expected<void, std::string> require_unchanged(const platform::EntryStatus& status,
                                                   const RemovalRules& rules) {
    // Strictly after: every change made once the moment was marked is stamped after it.
    if (rules.unchanged_since && platform::change_time_of(status) > *rules.unchanged_since) {
        return std::unexpected(std::string(kChangedDuringCheck));
    }
    return {};
}

std::expected<filesystem::FileIdentity, std::string> classify_removal_entry(
    std::string_view path, const platform::EntryStatus& status, std::uint64_t root_device,
    const RemovalRules& rules) {
    // A bind mount of a folder of the same file system keeps the device number; only the
    // kernel's mount-root attribute tells that it leads elsewhere.
    if (status.device != root_device || status.mount_root) {
        return std::unexpected(std::string(kCrossesFilesystem));
    }
    filesystem::FileIdentity identity = filesystem::identity_from_status(status);
    if (identity.kind == "special") return std::unexpected(std::string(kSpecialEntry));
    if (status.is_dataless()) return std::unexpected(std::string(kCloudPlaceholder));
    if (auto unchanged = require_unchanged(status, rules); !unchanged) {
        return std::unexpected(std::move(unchanged.error()));
    }
    if (rules.policy != nullptr) {
        if (auto allowed = check_policy(path, rules); !allowed) {
            return std::unexpected(std::move(allowed.error()));
        }
    }
    identity.device = std::bit_cast<std::int64_t>(root_device);
    return identity;
}

}  // namespace bramvelt::cleanup
