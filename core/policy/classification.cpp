#include "core/policy/classification.hpp"

#include <algorithm>
#include <array>

#include "core/filesystem/byte_path.hpp"
#include "core/filesystem/real_path.hpp"
#include "core/policy/normalize.hpp"
#include "platform/self_exe.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::policy {
namespace {

using List = std::vector<std::string_view>;

const List kPosixProtected = {"/bin",         "/sbin",      "/etc",        "/boot",     "/dev",
                              "/proc",        "/sys",       "/lib",        "/lib32",    "/lib64",
                              "/root",        "/run",       "/usr/bin",    "/usr/sbin", "/usr/lib",
                              "/usr/libexec", "/usr/share", "/usr/include",
                              "/usr/lib64",   "/usr/lib32", "/usr/libx32", "/efi"};
const List kPosixEssential = {"/",    "/home", "/usr", "/usr/local", "/var",
                              "/tmp", "/opt",  "/mnt", "/media",     "/srv"};
const List kPosixApplicationData = {"/usr/local", "/var", "/opt", "/srv", "/snap", "/nix"};

const List kMacProtected = {"/System",         "/private/etc",       "/private/var/db",
                            "/private/var/vm", "/Library/Keychains", "/Library/Apple"};
const List kMacEssential = {"/Applications", "/Library",     "/Users",      "/Volumes",
                            "/private",      "/private/var", "/private/tmp"};
const List kMacApplicationData = {"/Applications", "/Library", "/private/var"};

const List kPosixHomeEssential = {"Documents", "Desktop", "Downloads", "Pictures", "Music",
                                  "Movies",    "Library", ".config",   ".local"};
const List kPosixHomeProtected = {".ssh", ".gnupg", ".password-store", "Library/Keychains"};
const List kPosixHomeCredentials = {".aws/credentials", ".aws/config", ".rclone.conf",
                                    ".config/rclone/rclone.conf",
                                    "Library/Application Support/rclone/rclone.conf"};
const List kPosixHomeApplicationData = {"Library", ".config", ".local", "Applications"};

const List kDriveProtected = {"Windows", "System Volume Information", "Recovery", "Boot",
                              "$Recycle.Bin"};
const List kDriveEssentialAndData = {"Program Files", "Program Files (x86)", "ProgramData",
                                     "Users"};

const List kDriveHomeEssential = {"Documents", "Desktop", "Downloads", "Pictures", "AppData"};
const List kDriveHomeProtected = {"ntuser.dat"};
const List kDriveHomeCredentials = {".aws/credentials", ".aws/config",
                                    "AppData/Roaming/rclone/rclone.conf"};
const List kDriveHomeApplicationData = {"AppData"};

void append(std::vector<std::string>& out, const List& entries, std::string_view prefix = {}) {
    for (std::string_view entry : entries) out.push_back(std::string(prefix) + std::string(entry));
}

bool is_local(const PolicyTransport& transport) {
    return transport.kind == PolicyTransport::Kind::Local;
}

// The real location of `path` on this machine when it differs from the text: "/lib64" is
// "/usr/lib64" on a merged-/usr system, and a home may be reached through a link. Lists
// compared as text alone would leave those real locations unguarded.
std::optional<std::string> real_location(std::string_view path, HostOs host) {
    auto real = filesystem::real_path(path);
    if (!real) return std::nullopt;
    auto normalized = normalize_canonical_path(*real, host);
    if (!normalized || *normalized == path) return std::nullopt;
    return std::move(*normalized);
}

// The entries, and on the local transport their real locations too.
void append_with_real_locations(std::vector<std::string>& out, const List& entries,
                                const PolicyTransport& transport, HostOs host) {
    for (std::string_view entry : entries) {
        out.push_back(std::string(entry));
        if (!is_local(transport)) continue;
        if (auto real = real_location(entry, host)) out.push_back(std::move(*real));
    }
}

bool contains(const std::vector<std::string>& list, std::string_view value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

PathClassification classified(PolicyVerdict verdict, std::string_view message,
                              std::string_view code) {
    return PathClassification{{std::string(message)}, verdict, {std::string(code)}};
}

bool is_volume_root(std::string_view path) {
    const std::size_t first = path.find_first_not_of('/');
    std::string_view trimmed;
    if (first != std::string_view::npos) {
        trimmed = path.substr(first, path.find_last_not_of('/') - first + 1);
    }
    const std::size_t pieces =
        1 + static_cast<std::size_t>(std::count(trimmed.begin(), trimmed.end(), '/'));
    return (path.starts_with("/Volumes/") && pieces == 2) ||
           (path.starts_with("/mnt/") && pieces == 2) ||
           (path.starts_with("/media/") && pieces <= 3);
}

}  // namespace

bool path_inside(std::string_view inner, std::string_view outer) {
    return inner.size() > outer.size() && inner.starts_with(outer) &&
           (outer.ends_with('/') || inner[outer.size()] == '/');
}

void add_protected_path(const PolicyTransport& transport, HostOs host,
                        std::vector<std::string>& protected_paths, std::string_view path) {
    if (auto normalized = normalize_policy_path(path, host)) {
        protected_paths.push_back(std::move(*normalized));
    }
    if (!is_local(transport)) {
        return;
    }
    std::optional<std::string> resolved;
    if (auto real = filesystem::real_path(path)) {
        resolved = std::move(*real);
    } else if (auto parent = filesystem::path_parent(path)) {
        if (auto name = filesystem::path_file_name(path)) {
            if (auto real_parent = filesystem::real_path(*parent)) {
                resolved = filesystem::path_join(*real_parent, *name);
            }
        }
    }
    if (resolved) {
        if (auto normalized = normalize_canonical_path(*resolved, host)) {
            protected_paths.push_back(std::move(*normalized));
        }
    }
}

SafetyPolicy build_policy(const PolicyContext& context, std::string_view target) {
    const HostOs host = context.host_os;
    const bool windows = host == HostOs::Windows;
    SafetyPolicy policy;
    policy.host_os = host;
    policy.essential = context.volume_roots;

    std::vector<std::string> homes;
    homes.push_back(normalize_policy_path(context.home, host).value_or(std::string()));

    for (const std::string& path : context.protected_paths) {
        add_protected_path(context.transport, host, policy.protected_paths, path);
    }
    if (is_local(context.transport)) {
        for (const std::string& home : local_user_homes()) {
            auto normalized = normalize_policy_path(home, host);
            if (normalized && !contains(homes, *normalized))
                homes.push_back(std::move(*normalized));
        }
    }
    if (is_local(context.transport)) {
        // A home named through a link: its real folder holds the same keys and documents.
        for (std::size_t i = 0, known = homes.size(); i < known; ++i) {
            if (homes[i].empty()) continue;
            auto real = real_location(homes[i], host);
            if (real && !contains(homes, *real)) homes.push_back(std::move(*real));
        }
    }
    policy.essential.insert(policy.essential.end(), homes.begin(), homes.end());

    if (windows) {
        const std::string root(target.substr(0, 3));
        policy.essential.push_back(root);
        append(policy.protected_paths, kDriveProtected, root);
        append(policy.essential, kDriveEssentialAndData, root);
        append(policy.application_data, kDriveEssentialAndData, root);
    } else {
        append_with_real_locations(policy.protected_paths, kPosixProtected, context.transport,
                                   host);
        append_with_real_locations(policy.essential, kPosixEssential, context.transport, host);
        append(policy.application_data, kPosixApplicationData);
        if (host == HostOs::MacOs) {
            append_with_real_locations(policy.protected_paths, kMacProtected, context.transport,
                                       host);
            append_with_real_locations(policy.essential, kMacEssential, context.transport, host);
            append(policy.application_data, kMacApplicationData);
        }
    }

    for (const std::string& home : homes) {
        const std::string prefix = home + "/";
        append(policy.essential, windows ? kDriveHomeEssential : kPosixHomeEssential, prefix);
        append(policy.protected_paths, windows ? kDriveHomeProtected : kPosixHomeProtected, prefix);
        for (std::string_view name : windows ? kDriveHomeCredentials : kPosixHomeCredentials) {
            add_protected_path(context.transport, host, policy.protected_paths,
                               prefix + std::string(name));
        }
        append(policy.application_data,
               windows ? kDriveHomeApplicationData : kPosixHomeApplicationData, prefix);
    }

    if (is_local(context.transport)) {
        if (auto exe = platform::current_exe_path()) {
            if (auto normalized = normalize_canonical_path(*exe, host)) {
                policy.protected_paths.push_back(std::move(*normalized));
            }
        }
    }

    policy.protected_paths = normalize_path_list(std::move(policy.protected_paths), host);
    policy.essential = normalize_path_list(std::move(policy.essential), host);
    policy.application_data = normalize_path_list(std::move(policy.application_data), host);
    return policy;
}

PathClassification classify_path(const SafetyPolicy& policy, std::string_view path) {
    if (policy.host_os != HostOs::Windows && is_volume_root(path)) {
        return classified(PolicyVerdict::Refused, kMountedVolumeRoot, kCodeVolumeRoot);
    }
    for (const std::string& entry : policy.protected_paths) {
        if (path == entry || path_inside(path, entry) || path_inside(entry, path)) {
            return classified(PolicyVerdict::Refused, kProtectedLocation, kCodeProtectedLocation);
        }
    }
    for (const std::string& entry : policy.essential) {
        if (path == entry || path_inside(entry, path)) {
            return classified(PolicyVerdict::Refused, kEssentialFolder, kCodeEssentialFolder);
        }
    }
    for (const std::string& entry : policy.application_data) {
        if (path == entry || path_inside(path, entry)) {
            return classified(PolicyVerdict::NeedsAcknowledgement, kApplicationData,
                              kCodeApplicationData);
        }
    }
    const std::size_t slash = path.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (!last.empty() && last.front() == '.') {
        return classified(PolicyVerdict::NeedsAcknowledgement, kHiddenData, kCodeHiddenData);
    }
    return {};
}

}  // namespace bramvelt::policy
