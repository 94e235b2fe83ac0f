#include "core/policy/context.hpp"

#include <algorithm>
#include <cstdlib>

#include "core/policy/normalize.hpp"
#include "platform/user_db.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::policy {
namespace {

std::unexpected<std::string> fail(std::string_view message) {
    return std::unexpected(std::string(message));
}

// The normalized form is only the root: "/", or a drive root such as "C:/".
bool is_root_only(std::string_view normalized, HostOs host) {
    return host == HostOs::Windows ? normalized.size() == 3 : normalized == "/";
}

}  // namespace

std::expected<void, std::string> validate_policy_context(const PolicyContext& context) {
    auto home = normalize_policy_path(context.home, context.host_os);
    if (!home) {
        return std::unexpected(std::move(home.error()));
    }
    if (context.home.size() <= 3 || is_root_only(*home, context.host_os)) {
        return fail(kExplicitHomeRequired);
    }
    if (context.volume_roots.size() > kMaxContextListEntries) {
        return fail(kTooManyVolumeRoots);
    }
    for (const std::string& root : context.volume_roots) {
        if (auto n = normalize_policy_path(root, context.host_os); !n) {
            return std::unexpected(std::move(n.error()));
        }
    }
    if (context.protected_paths.size() > kMaxContextListEntries) {
        return fail(kTooManyProtectedPaths);
    }
    for (const std::string& path : context.protected_paths) {
        if (auto n = normalize_policy_path(path, context.host_os); !n) {
            return std::unexpected(std::move(n.error()));
        }
    }
    switch (context.transport.kind) {
        case PolicyTransport::Kind::Local:
            if (context.host_os != HostOs::MacOs) return fail(kLocalHostMismatch);
            break;
        case PolicyTransport::Kind::Remote:
            if (platform::trim_white_space(context.transport.name).empty() ||
                contains_nul(context.transport.name)) {
                return fail(kRemoteHostRequired);
            }
            break;
        case PolicyTransport::Kind::Cloud:
            if (platform::trim_white_space(context.transport.name).empty() ||
                contains_nul(context.transport.name)) {
                return fail(kCloudRemoteRequired);
            }
            break;
    }
    return {};
}

std::expected<void, std::string> check_local_service_context(const PolicyContext& context) {
    if (auto valid = validate_policy_context(context); !valid) {
        return valid;
    }
    if (context.transport.kind != PolicyTransport::Kind::Local) {
        return fail(kRemoteNeedsHostTransport);
    }
    std::vector<std::string> homes;
    for (const std::string& home : local_user_homes()) {
        if (auto n = normalize_policy_path(home, context.host_os)) homes.push_back(std::move(*n));
    }
    if (homes.empty()) {
        return fail(kCannotDetermineHome);
    }
    const std::string home = normalize_policy_path(context.home, context.host_os).value();
    if (std::find(homes.begin(), homes.end(), home) == homes.end()) {
        return fail(kLocalHomeMismatch);
    }
    return {};
}

std::vector<std::string> local_user_homes() {
    std::vector<std::string> homes;
    if (const char* home = std::getenv("HOME")) {
        homes.push_back(platform::to_utf8_lossy(home));
    }
    if (std::optional<std::string> account = platform::account_home(platform::real_user_id())) {
        std::string text = platform::to_utf8_lossy(*account);
        if (std::find(homes.begin(), homes.end(), text) == homes.end()) {
            homes.push_back(std::move(text));
        }
    }
    return homes;
}

}  // namespace bramvelt::policy
