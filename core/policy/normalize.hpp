#pragma once
// Lexical normal form of the paths the safety policy compares: absolute, "/" as the only
// separator, no empty, "." or ".." components, no trailing separator. Pure text work:
// the file system is never consulted, links are never resolved, case and Unicode are kept.
// Two paths are equal to the policy exactly when their normal forms are equal bytes.

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/filesystem/io_error.hpp"
#include "core/policy/host_os.hpp"

namespace bramvelt::policy {

// Longest input accepted, in bytes.
inline constexpr std::size_t kMaxPolicyPathBytes = 32768;

inline constexpr std::string_view kPathEmptyNulOrLong =
    "Path is empty, contains NUL, or exceeds the supported length";
inline constexpr std::string_view kAbsolutePathRequired = "An absolute path is required";
inline constexpr std::string_view kPathEscapesRoot = "Path escapes its root";
inline constexpr std::string_view kUncRequiresTransport =
    "UNC and device paths require a supported host transport";
inline constexpr std::string_view kDrivePathRequired = "An absolute drive path is required";
inline constexpr std::string_view kAmbiguousWindowsComponent = "Ambiguous Windows path component";

// The normal form of `path` in the form `host` selects, or the reason it has none.
std::expected<std::string, std::string> normalize_policy_path(std::string_view path, HostOs host);

// The macOS (POSIX) form, used for the folders and items of discovery and cleanup.
std::expected<std::string, std::string> normalize_local_path(std::string_view path);

// For file-system bytes (a resolved real path): invalid UTF-8 becomes U+FFFD, then the
// text is normalized; a failure is an error of the general kind carrying the message.
std::expected<std::string, filesystem::IoError> normalize_canonical_path(std::string_view bytes,
                                                                         HostOs host);

// Each entry replaced by its normal form; entries that fail stay as they were, in place.
std::vector<std::string> normalize_path_list(std::vector<std::string> paths, HostOs host);

bool contains_nul(std::string_view bytes);

}  // namespace bramvelt::policy
