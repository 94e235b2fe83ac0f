#pragma once
// The one way the development discovery runs `git`: fixed hardening options and
// environment, `-C` the folder, standard input from /dev/null, outputs in unnamed
// temporary files, its own process group, a time limit, output limits and a cancel
// flag. Whatever was started is ended and reaped before the call returns.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cancel_flag.hpp"

namespace bramvelt::development {

struct DevScanState;

inline constexpr std::size_t kGitOutputLimit = 4 * 1024 * 1024;

inline constexpr std::string_view kGitCancelled = "Cancelled";
inline constexpr std::string_view kGitKilled =
    "Git check cancelled, timed out, or exceeded its output limit";
inline constexpr std::string_view kGitUnavailable = "Git check unavailable";
inline constexpr std::string_view kGitOutputTooLarge = "Git output exceeded its limit";
inline constexpr std::string_view kGitBudgetSpent = "Scan limit reached or cancelled";

inline constexpr std::string_view kDefaultSearchPath = "/usr/bin:/bin:/usr/sbin:/sbin";
// Developer-tool copies preferred over a /usr/bin/git that is only a launcher for them.
inline constexpr std::string_view kDeveloperGitPaths[] = {
    "/var/db/xcode_select_link/usr/bin/git",
    "/Library/Developer/CommandLineTools/usr/bin/git",
    "/Applications/Xcode.app/Contents/Developer/usr/bin/git",
};

// The 21 arguments that precede "-C" and the folder in every command.
const std::vector<std::string>& git_hardening_options();

// The child's environment built from `environment` ("NAME=value" entries): prompts,
// askpass, lazy fetches and interactive SSH turned off; every variable that would point
// Git at another repository, object store, namespace or configuration removed.
std::vector<std::string> git_child_environment(std::span<const std::string> environment);

// The program to start: "git" (looked up through PATH at each start) or one of
// kDeveloperGitPaths when the first git on the search path is /usr/bin/git.
std::string locate_git(std::optional<std::string_view> path_variable,
                       std::span<const std::string_view> developer_paths);

// Chosen once per process from PATH and kDeveloperGitPaths.
const std::string& git_path();

// Standard output of `git <options> -C folder args...`, or an error text.
std::expected<std::string, std::string> run_git(std::string_view folder,
                                                std::span<const std::string> args,
                                                const CancelFlag& cancel,
                                                std::uint64_t timeout_seconds);

// Whether a command reaches a remote, which doubles its time limit.
enum class GitQuery : std::uint8_t { Local, Remote };

// run_git inside the search's budget; counts each command started.
std::expected<std::string, std::string> run_git_budgeted(DevScanState& state,
                                                         std::string_view folder,
                                                         std::span<const std::string> args,
                                                         GitQuery query);

}  // namespace bramvelt::development
