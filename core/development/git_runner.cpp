#include "core/development/git_runner.hpp"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>

#include "core/development/git_prefetch.hpp"
#include "core/development/state.hpp"
#include "core/filesystem/byte_path.hpp"
#include "platform/file_status.hpp"
#include "platform/os_error.hpp"
#include "platform/real_path.hpp"
#include "platform/spawn.hpp"
#include "platform/temp_file.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::development {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);

bool executable_file(const std::string& path) {
    const auto st = platform::status_of_path(path, platform::FollowFinalLink::yes);
    return st && st->is_regular() && (st->mode & 0111) != 0;
}

bool removed_variable(std::string_view name) {
    static constexpr std::string_view kRemovedNames[] = {
        "GIT_DIR",        "GIT_WORK_TREE",         "GIT_INDEX_FILE",
        "GIT_COMMON_DIR", "GIT_OBJECT_DIRECTORY",  "GIT_ALTERNATE_OBJECT_DIRECTORIES",
        "GIT_NAMESPACE",  "GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT",
    };
    for (const auto e : kRemovedNames) {
        if (name == e) {
            return true;
        }
    }
    return name.starts_with("GIT_CONFIG_KEY_") || name.starts_with("GIT_CONFIG_VALUE_");
}

constexpr std::pair<std::string_view, std::string_view> kSetVariables[] = {
    {"GIT_TERMINAL_PROMPT", "0"},
    {"GIT_NO_LAZY_FETCH", "1"},
    {"GIT_ASKPASS", "true"},
    {"SSH_ASKPASS_REQUIRE", "never"},
    {"GIT_SSH_COMMAND", "ssh -o BatchMode=yes -o ConnectTimeout=5"},
    // Set, even empty, it overrides core.gitProxy; empty means a direct connection.
    {"GIT_PROXY_COMMAND", ""},
};

// Commands, with the options this program gives them, that never hash working-tree
// files and so never start a filter.
bool hashes_no_files(std::span<const std::string> args) {
    static constexpr std::string_view kQueries[] = {"rev-parse", "remote",      "config",
                                                    "ls-remote", "ls-files",    "for-each-ref",
                                                    "show",      "check-ignore"};
    if (args.empty()) {
        return true;
    }
    if (args[0] == "worktree") {
        return args.size() > 1 && args[1] == "list";
    }
    return std::find(std::begin(kQueries), std::end(kQueries), args[0]) != std::end(kQueries);
}

bool keeps_out_of_submodules(std::span<const std::string> args) {
    return std::any_of(args.begin(), args.end(), [](const std::string& a) {
        return a == "--ignore-submodules" || a == "--ignore-submodules=all" ||
               a == "--ignore-submodules=dirty";
    });
}

// "-c" splits its value at the first "=", so such a name would set another key.
bool expressible_driver(std::string_view name) {
    return name.find_first_of(std::string_view("=\n\0", 3)) == std::string_view::npos;
}

constexpr std::string_view kOutputFilePrefix = ".bramvelt-git-";

// A file whose size cannot be read counts as over the limit.
bool within_output_limit(const platform::UnnamedTempFile& file) {
    const auto size = file.size();
    return size && *size <= kGitOutputLimit;
}

std::string error_text(int e) {
    return platform::os_error_text(e);
}

}  // namespace

const std::vector<std::string>& git_hardening_options() {
    static const std::vector<std::string> kOptions{
        "--no-optional-locks",         "-c", "core.fsmonitor=false",       "-c",
        "protocol.ext.allow=never",    "-c", "protocol.allow=never",       "-c",
        "protocol.https.allow=always", "-c", "protocol.http.allow=always", "-c",
        "protocol.ssh.allow=always",   "-c", "protocol.git.allow=always",  "-c",
        "protocol.file.allow=always",  "-c", "credential.helper=",         "-c",
        "core.hooksPath=/dev/null",
    };
    return kOptions;
}

std::vector<std::string> git_command_options(std::span<const std::string> args,
                                             const FilterDrivers* filters) {
    std::vector<std::string> out{"-c", "log.showSignature=false"};
    if (args.empty() || args[0] != "ls-remote") {
        for (const char* protocol : {"https", "http", "ssh", "git", "file"}) {
            out.emplace_back("-c");
            out.push_back(std::string("protocol.") + protocol + ".allow=never");
        }
    }
    if (filters != nullptr) {
        for (const auto& name : filters->names) {
            const std::string key = "filter." + name;
            for (const char* setting : {".clean=", ".smudge=", ".process=", ".required=false"}) {
                out.emplace_back("-c");
                out.push_back(key + setting);
            }
        }
    }
    return out;
}

bool git_command_may_start(std::span<const std::string> args, const FilterDrivers* filters) {
    if (filters == nullptr) {
        return hashes_no_files(args);
    }
    const bool enters_submodules =
        !args.empty() && args[0] == "status" && !keeps_out_of_submodules(args);
    return !enters_submodules &&
           std::all_of(filters->names.begin(), filters->names.end(), expressible_driver);
}

std::string absolute_search_path(std::string_view value) {
    std::string out;
    std::size_t pos = 0;
    while (pos <= value.size()) {
        const std::size_t end = std::min(value.find(':', pos), value.size());
        const std::string_view entry = value.substr(pos, end - pos);
        if (entry.starts_with('/')) {
            if (!out.empty()) out.push_back(':');
            out.append(entry);
        }
        pos = end + 1;
    }
    return out.empty() ? std::string(kDefaultSearchPath) : out;
}

std::vector<std::string> git_child_environment(std::span<const std::string> environment) {
    std::vector<std::string> out;
    for (const auto& entry : environment) {
        const std::string_view name = std::string_view(entry).substr(0, entry.find('='));
        const std::string_view value =
            name.size() < entry.size() ? std::string_view(entry).substr(name.size() + 1) : "";
        bool replaced = removed_variable(name);
        for (const auto& [set_name, set_value] : kSetVariables) {
            replaced = replaced || name == set_name;
        }
        if (replaced || (name == "GIT_EXEC_PATH" && !value.starts_with('/'))) {
            continue;
        }
        if (name == "PATH") {
            out.push_back("PATH=" + absolute_search_path(value));
            continue;
        }
        out.push_back(entry);
    }
    for (const auto& [name, value] : kSetVariables) {
        out.push_back(std::string(name) + "=" + std::string(value));
    }
    return out;
}

std::string locate_git(std::optional<std::string_view> path_variable,
                       std::span<const std::string_view> developer_paths) {
    // A PATH that is not UTF-8 text counts as unreadable, like an unset one. Only its
    // absolute folders count, as for the children.
    const std::string search = path_variable && platform::is_valid_utf8(*path_variable)
                                   ? absolute_search_path(*path_variable)
                                   : std::string(kDefaultSearchPath);
    std::optional<std::string> found;
    std::size_t pos = 0;
    while (pos <= search.size()) {
        const std::size_t end = std::min(search.find(':', pos), search.size());
        const std::string_view entry = std::string_view(search).substr(pos, end - pos);
        std::string candidate = filesystem::path_join(entry, "git");
        if (executable_file(candidate)) {
            found = std::move(candidate);
            break;
        }
        pos = end + 1;
    }
    if (!found) {
        return "git";
    }
    const auto canonical = platform::real_path(*found);
    if (!canonical || !filesystem::paths_equal(*canonical, "/usr/bin/git")) {
        return "git";
    }
    for (const auto developer : developer_paths) {
        const std::string path(developer);
        if (!executable_file(path)) {
            continue;
        }
        const auto resolved = platform::real_path(path);
        if (!resolved) {
            return path;
        }
        if (filesystem::paths_equal(*resolved, "/usr/bin/git")) {
            continue;
        }
        return path;
    }
    return "git";
}

const std::string& git_path() {
    static const std::string kPath = [] {
        const char* value = ::getenv("PATH");
        return locate_git(value != nullptr ? std::optional<std::string_view>(value) : std::nullopt,
                          kDeveloperGitPaths);
    }();
    return kPath;
}

std::expected<std::string, std::string> run_git(std::string_view folder,
                                                std::span<const std::string> args,
                                                const CancelFlag& cancel,
                                                std::uint64_t timeout_seconds,
                                                const FilterDrivers* filters) {
    if (is_cancelled(cancel)) {
        return std::unexpected(std::string(kGitCancelled));
    }
    return run_git_with(current_git_launch(ProgramLookup::AtEachStart), folder, args, cancel,
                        timeout_seconds, filters);
}

std::expected<std::string, std::string> run_git_with(
    const GitLaunch& launch, std::string_view folder, std::span<const std::string> args,
    const CancelFlag& cancel, std::uint64_t timeout_seconds, const FilterDrivers* filters,
    const std::atomic<bool>* abandoned) {
    const auto stop = [&cancel, abandoned] {
        return is_cancelled(cancel) ||
               (abandoned != nullptr && abandoned->load(std::memory_order_relaxed));
    };
    if (is_cancelled(cancel)) {
        return std::unexpected(std::string(kGitCancelled));
    }
    if (!git_command_may_start(args, filters)) {
        return std::unexpected(std::string(kGitUnavailable));
    }
    auto out = platform::UnnamedTempFile::create(kOutputFilePrefix);
    if (!out) {
        return std::unexpected(error_text(out.error()));
    }
    auto err = platform::UnnamedTempFile::create(kOutputFilePrefix);
    if (!err) {
        return std::unexpected(error_text(err.error()));
    }

    platform::SpawnOptions options;
    options.program = launch.program;
    options.argv0 = launch.argv0;
    options.args = git_hardening_options();
    const auto own_options = git_command_options(args, filters);
    options.args.insert(options.args.end(), own_options.begin(), own_options.end());
    options.args.emplace_back("-C");
    options.args.emplace_back(folder);
    options.args.insert(options.args.end(), args.begin(), args.end());
    options.environment = launch.environment;
    options.in = platform::Stdio::null();
    options.out = platform::Stdio::from_fd(out->fd());
    options.err = platform::Stdio::from_fd(err->fd());
    options.new_process_group = true;
    // In a group of its own it hears no signal from the terminal; a program ended by one
    // ends it first.
    options.end_with_program = platform::EndWithProgram::yes;

    auto spawned = platform::spawn(options);
    if (!spawned) {
        return std::unexpected(error_text(spawned.error()));
    }
    platform::Child child = std::move(*spawned);
    const auto started = std::chrono::steady_clock::now();

    // Ends the whole group (and the child, should it have left the group), then reaps.
    const auto kill_and_reap = [&child] {
        if (child.running()) {
            ::kill(-child.pid(), SIGKILL);
            ::kill(child.pid(), SIGKILL);
            (void)child.wait();
        }
    };

    std::optional<platform::ExitStatus> status;
    bool kill = stop();
    while (!kill) {
        if (std::chrono::steady_clock::now() - started > std::chrono::seconds(timeout_seconds)) {
            kill = true;
            break;
        }
        if (!within_output_limit(*out) || !within_output_limit(*err)) {
            kill = true;
            break;
        }
        auto waited = child.try_wait();
        if (!waited) {
            // A failed status query must not leave git running on its own.
            kill_and_reap();
            return std::unexpected(error_text(waited.error()));
        }
        if (*waited) {
            status = **waited;
            break;
        }
        child.sleep_unless_exited(kPollInterval);
        kill = stop();
    }
    if (kill) {
        kill_and_reap();
        return std::unexpected(std::string(kGitKilled));
    }
    if (status->raw != 0) {
        return std::unexpected(std::string(kGitUnavailable));
    }
    // One byte past the limit shows an overlong output.
    auto bytes = out->read_from_start(kGitOutputLimit + 1);
    if (!bytes) {
        return std::unexpected(error_text(bytes.error()));
    }
    if (bytes->size() > kGitOutputLimit) {
        return std::unexpected(std::string(kGitOutputTooLarge));
    }
    return std::move(*bytes);
}

std::expected<std::string, std::string> run_git_budgeted(
    DevScanState& state, std::string_view folder, std::span<const std::string> args, GitQuery query,
    const FilterDrivers* filters, GitAnswerSource* source) {
    GitAnswerSource ignored_source = GitAnswerSource::None;
    GitAnswerSource& from = source != nullptr ? *source : ignored_source;
    from = GitAnswerSource::None;
    if (state.budget_spent()) {
        return std::unexpected(std::string(kGitBudgetSpent));
    }
    ++state.summary.git_commands;
    if (state.prefetch != nullptr) {
        if (auto answer = state.prefetch->take(GitCommandRef{folder, args, filters, query})) {
            from = GitAnswerSource::AskedAhead;
            return std::move(*answer);
        }
    }
    from = GitAnswerSource::Started;
    return run_git_with(state.git_launch(), folder, args, state.cancel,
                        git_timeout_for(state.git_timeout_seconds, query), filters);
}

}  // namespace bramvelt::development
