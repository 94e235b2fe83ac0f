#pragma once
// The static half of the safety policy: the protected, essential and application-data
// lists built for one context, and the classification of one normalized path against
// them. Nothing here asks whether the path exists.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/policy/context.hpp"
#include "core/policy/host_os.hpp"

namespace bramvelt::policy {

enum class PolicyVerdict : std::uint8_t { Allowed = 0, NeedsAcknowledgement = 1, Refused = 2 };

// Normalized paths; built by build_policy and never changed afterwards.
struct SafetyPolicy {
    std::vector<std::string> protected_paths;   // refused, with their ancestors and contents
    std::vector<std::string> essential;         // refused, with their ancestors
    std::vector<std::string> application_data;  // need acknowledgement, with their contents
    HostOs host_os = HostOs::MacOs;
};

// Either Allowed with no message and no code, or one message and its parallel code.
struct PathClassification {
    std::vector<std::string> messages;
    PolicyVerdict verdict = PolicyVerdict::Allowed;
    std::vector<std::string> codes;
};

inline constexpr std::string_view kCodeVolumeRoot = "policy.volume_root";
inline constexpr std::string_view kCodeProtectedLocation = "policy.protected_location";
inline constexpr std::string_view kCodeEssentialFolder = "policy.essential_folder";
inline constexpr std::string_view kCodeApplicationData = "policy.application_data";
inline constexpr std::string_view kCodeHiddenData = "policy.hidden_data";

inline constexpr std::string_view kMountedVolumeRoot = "Mounted volume roots cannot be removed";
inline constexpr std::string_view kProtectedLocation = "Protected system or credential location";
inline constexpr std::string_view kEssentialFolder =
    "Essential folder or its ancestor cannot be removed";
inline constexpr std::string_view kApplicationData =
    "Application or configuration data requires explicit acknowledgement";
inline constexpr std::string_view kHiddenData = "Hidden data requires explicit acknowledgement";

// The lists for `context`; `target` (normalized) matters only for Windows, whose drive
// root selects the drive lists. Never fails: entries that cannot be produced are left
// out. On the local transport it reads the account's homes, resolves the real locations
// of protected paths and adds the running executable.
SafetyPolicy build_policy(const PolicyContext& context, std::string_view target);

// Appends the normalized `path` and, on the local transport, its real location (or, when
// it does not exist, its real parent joined with its name). Failures add nothing.
void add_protected_path(const PolicyTransport& transport, HostOs host,
                        std::vector<std::string>& protected_paths, std::string_view path);

// First matching rule: volume root, protected, essential, application data, hidden.
PathClassification classify_path(const SafetyPolicy& policy, std::string_view path);

// Whether normalized `inner` lies strictly inside normalized `outer`, by whole components.
bool path_inside(std::string_view inner, std::string_view outer);

}  // namespace bramvelt::policy
