#pragma once
// The input of every policy decision: who cleans, for which home, what else is protected.
// Validation runs first in every decision and every cleanup; the local service check is
// the stricter test that a context must pass before the program cleans anything.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/policy/host_os.hpp"

namespace bramvelt::policy {

struct PolicyTransport {
    enum class Kind : std::uint8_t { Local = 0, Remote = 1, Cloud = 2 };
    Kind kind = Kind::Local;
    std::string name;  // the remote host or the cloud remote; empty for Local

    static PolicyTransport local() { return {}; }
    static PolicyTransport remote(std::string host) { return {Kind::Remote, std::move(host)}; }
    static PolicyTransport cloud(std::string remote) { return {Kind::Cloud, std::move(remote)}; }
};

struct PolicyContext {
    PolicyTransport transport;
    std::string home;                          // the explicit user home of the cleanup
    std::vector<std::string> volume_roots;     // each treated as an essential folder
    std::vector<std::string> protected_paths;  // each protected with its real location
    HostOs host_os = HostOs::MacOs;
};

inline constexpr std::size_t kMaxContextListEntries = 4096;

inline constexpr std::string_view kExplicitHomeRequired = "An explicit user home is required";
inline constexpr std::string_view kTooManyVolumeRoots = "Too many volume roots";
inline constexpr std::string_view kTooManyProtectedPaths = "Too many protected paths";
inline constexpr std::string_view kLocalHostMismatch = "Local host OS does not match this service";
inline constexpr std::string_view kRemoteHostRequired = "A remote host is required";
inline constexpr std::string_view kCloudRemoteRequired = "A cloud remote is required";
inline constexpr std::string_view kRemoteNeedsHostTransport =
    "Remote cleanup requires a host transport; this service executes local jobs only";
inline constexpr std::string_view kCannotDetermineHome = "Cannot determine the local user home";
inline constexpr std::string_view kLocalHomeMismatch =
    "Local user home does not match this service";

// Success, or the message of the first rule the context breaks. A home that normalizes
// to a root ("////", "/a/..") is refused like "/" itself.
std::expected<void, std::string> validate_policy_context(const PolicyContext& context);

// Validation, then: Local transport only, and the home is one of this account's homes.
std::expected<void, std::string> check_local_service_context(const PolicyContext& context);

// HOME (when set), then the account record's home folder when it differs; both as text
// with invalid UTF-8 replaced, not normalized. Read afresh on every call.
std::vector<std::string> local_user_homes();

}  // namespace bramvelt::policy
