#pragma once
// The one way the development discovery runs `git`: fixed hardening options and
// environment, `-C` the folder, standard input from /dev/null, outputs in unnamed
// temporary files, its own process group, a time limit, output limits and a cancel
// flag. Whatever was started is ended and reaped before the call returns.
//
// No program that the repository's own configuration names may start: besides hooks,
// credential helpers and the file-system monitor, signature checks are off, only
// ls-remote may reach a remote (so a lazy fetch cannot start an upload-pack or proxy the
// repository names), the proxy command is cleared, search paths keep only absolute
// folders, and a command that may hash working-tree files runs only with every filter
// driver of the repository emptied (and a status only with submodule contents left out,
// since a submodule's own configuration names its own filters).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/development/filter_drivers.hpp"
#include "core/development/git_launch.hpp"
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

// The 21 arguments that precede every command's own options (see git_command_options).
const std::vector<std::string>& git_hardening_options();

// The options between the 21 hardening arguments and "-C": signature checks off, every
// transport refused unless the command is ls-remote, and each filter driver emptied.
std::vector<std::string> git_command_options(std::span<const std::string> args,
                                             const FilterDrivers* filters);

// False for a command that may hash working-tree files but comes without the
// repository's filter drivers, a status that would enter submodules, and drivers whose
// names cannot be written as options.
bool git_command_may_start(std::span<const std::string> args, const FilterDrivers* filters);

// The child's environment built from `environment` ("NAME=value" entries): prompts,
// askpass, lazy fetches, proxy commands and interactive SSH turned off; every variable
// that would point Git at another repository, object store, namespace or configuration
// removed; PATH and GIT_EXEC_PATH kept to absolute folders, since Git's children look
// programs up from inside the repository.
std::vector<std::string> git_child_environment(std::span<const std::string> environment);

// The absolute folders of a PATH value, in order. Git runs its children (ssh, helpers,
// the shell) inside the repository, where a relative folder would find programs the
// repository carries; so does this program's own start of git. When none is left, the
// default search path stands in for an empty PATH, which the shell would read as the
// current folder.
std::string absolute_search_path(std::string_view value);

// The program to start: "git" (looked up through the absolute folders of PATH) or one of
// kDeveloperGitPaths when the first git on the search path is /usr/bin/git.
std::string locate_git(std::optional<std::string_view> path_variable,
                       std::span<const std::string_view> developer_paths);

// Chosen once per process from PATH and kDeveloperGitPaths.
const std::string& git_path();

// Standard output of `git <options> -C folder args...`, or an error text. `filters` are
// the drivers of the repository the command works in (filter_drivers.hpp; for
// `worktree remove`, read_filter_drivers of the common Git directory covers every
// worktree). A command that may hash working-tree files (status, worktree remove: all but
// rev-parse, remote, config, ls-remote, ls-files, for-each-ref, show, check-ignore and
// worktree list) is refused with kGitUnavailable without them, before anything starts.
std::expected<std::string, std::string> run_git(std::string_view folder,
                                                std::span<const std::string> args,
                                                const CancelFlag& cancel,
                                                std::uint64_t timeout_seconds,
                                                const FilterDrivers* filters = nullptr);

// run_git started as `launch` says. A command is also ended, as a cancelled one is, once
// `abandoned` is set (an answer asked ahead that is no longer wanted).
std::expected<std::string, std::string> run_git_with(
    const GitLaunch& launch, std::string_view folder, std::span<const std::string> args,
    const CancelFlag& cancel, std::uint64_t timeout_seconds, const FilterDrivers* filters,
    const std::atomic<bool>* abandoned = nullptr);

// Whether a command reaches a remote, which doubles its time limit.
enum class GitQuery : std::uint8_t { Local, Remote };

inline std::uint64_t git_timeout_for(std::uint64_t local_seconds, GitQuery query) {
    return local_seconds * (query == GitQuery::Remote ? 2 : 1);
}

// run_git inside the search's budget; counts each command started. An answer the
// search's prefetch pool holds for the same command is taken instead of starting it
// again, after the same budget test and count.
// Where an answer of run_git_budgeted came from.
enum class GitAnswerSource : std::uint8_t { None, Started, AskedAhead };

std::expected<std::string, std::string> run_git_budgeted(
    DevScanState& state, std::string_view folder, std::span<const std::string> args, GitQuery query,
    const FilterDrivers* filters = nullptr, GitAnswerSource* source = nullptr);

}  // namespace bramvelt::development
