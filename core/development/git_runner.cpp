#include "core/development/git_runner.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "core/development/file_status.hpp"
#include "core/development/paths.hpp"
#include "core/development/state.hpp"
#include "platform/fd.hpp"
#include "platform/os_error.hpp"
#include "platform/spawn.hpp"
#include "platform/utf8.hpp"

extern char** environ;

namespace bramvelt::development {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);

bool executable_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

bool removed_variable(std::string_view name) {
    static constexpr std::string_view exact[] = {
        "GIT_DIR",        "GIT_WORK_TREE",         "GIT_INDEX_FILE",
        "GIT_COMMON_DIR", "GIT_OBJECT_DIRECTORY",  "GIT_ALTERNATE_OBJECT_DIRECTORIES",
        "GIT_NAMESPACE",  "GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT",
    };
    for (const auto e : exact) {
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
};

// An unnamed file in the temporary folder: it vanishes with its last descriptor.
std::expected<platform::Fd, int> unnamed_temp_file() {
    const char* tmpdir = ::getenv("TMPDIR");
    const std::string dir = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    platform::Fd fd(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd) {
        return fd;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return std::unexpected(errno);
    }
    std::string name = join_path(dir, ".bramvelt-git-XXXXXX");
    fd.reset(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd) {
        return std::unexpected(errno);
    }
    ::unlink(name.c_str());
    return fd;
}

std::optional<std::uint64_t> file_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

std::string error_text(int e) {
    return platform::os_error_text(e);
}

}  // namespace

const std::vector<std::string>& git_hardening_options() {
    static const std::vector<std::string> options{
        "--no-optional-locks",         "-c", "core.fsmonitor=false",       "-c",
        "protocol.ext.allow=never",    "-c", "protocol.allow=never",       "-c",
        "protocol.https.allow=always", "-c", "protocol.http.allow=always", "-c",
        "protocol.ssh.allow=always",   "-c", "protocol.git.allow=always",  "-c",
        "protocol.file.allow=always",  "-c", "credential.helper=",         "-c",
        "core.hooksPath=/dev/null",
    };
    return options;
}

std::vector<std::string> git_child_environment(std::span<const std::string> environment) {
    std::vector<std::string> out;
    for (const auto& entry : environment) {
        const std::string_view name = std::string_view(entry).substr(0, entry.find('='));
        bool replaced = removed_variable(name);
        for (const auto& [set_name, value] : kSetVariables) {
            replaced = replaced || name == set_name;
        }
        if (!replaced) {
            out.push_back(entry);
        }
    }
    for (const auto& [name, value] : kSetVariables) {
        out.push_back(std::string(name) + "=" + std::string(value));
    }
    return out;
}

std::string locate_git(std::optional<std::string_view> path_variable,
                       std::span<const std::string_view> developer_paths) {
    // A PATH that is not UTF-8 text counts as unreadable, like an unset one.
    const std::string_view search = path_variable && platform::is_valid_utf8(*path_variable)
                                        ? *path_variable
                                        : kDefaultSearchPath;
    std::optional<std::string> found;
    std::size_t pos = 0;
    while (pos <= search.size()) {
        const std::size_t end = std::min(search.find(':', pos), search.size());
        const std::string_view entry = search.substr(pos, end - pos);
        std::string candidate = entry.empty() ? std::string("git") : join_path(entry, "git");
        if (executable_file(candidate)) {
            found = std::move(candidate);
            break;
        }
        pos = end + 1;
    }
    if (!found) {
        return "git";
    }
    const auto canonical = canonical_path(*found);
    if (!canonical || !path_equal(*canonical, "/usr/bin/git")) {
        return "git";
    }
    for (const auto developer : developer_paths) {
        const std::string path(developer);
        if (!executable_file(path)) {
            continue;
        }
        const auto resolved = canonical_path(path);
        if (!resolved) {
            return path;
        }
        if (path_equal(*resolved, "/usr/bin/git")) {
            continue;
        }
        return path;
    }
    return "git";
}

const std::string& git_path() {
    static const std::string path = [] {
        const char* value = ::getenv("PATH");
        return locate_git(value != nullptr ? std::optional<std::string_view>(value) : std::nullopt,
                          DEVELOPER_GIT_PATHS);
    }();
    return path;
}

std::expected<std::string, std::string> run_git(std::string_view folder,
                                                std::span<const std::string> args,
                                                const CancelFlag& cancel,
                                                std::uint64_t timeout_seconds) {
    if (is_cancelled(cancel)) {
        return std::unexpected(std::string(kGitCancelled));
    }
    auto out = unnamed_temp_file();
    if (!out) {
        return std::unexpected(error_text(out.error()));
    }
    auto err = unnamed_temp_file();
    if (!err) {
        return std::unexpected(error_text(err.error()));
    }

    platform::SpawnOptions options;
    options.program = git_path();
    options.args = git_hardening_options();
    options.args.emplace_back("-C");
    options.args.emplace_back(folder);
    options.args.insert(options.args.end(), args.begin(), args.end());
    std::vector<std::string> inherited;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        inherited.emplace_back(*e);
    }
    options.environment = git_child_environment(inherited);
    options.in = platform::Stdio::null();
    options.out = platform::Stdio::from_fd(out->get());
    options.err = platform::Stdio::from_fd(err->get());
    options.new_process_group = true;

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
    bool kill = is_cancelled(cancel);
    while (!kill) {
        if (std::chrono::steady_clock::now() - started > std::chrono::seconds(timeout_seconds)) {
            kill = true;
            break;
        }
        const auto out_size = file_size(out->get());
        const auto err_size = out_size ? file_size(err->get()) : std::nullopt;
        if (!out_size || *out_size > GIT_OUTPUT_LIMIT || !err_size ||
            *err_size > GIT_OUTPUT_LIMIT) {
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
        kill = is_cancelled(cancel);
    }
    if (kill) {
        kill_and_reap();
        return std::unexpected(std::string(kGitKilled));
    }
    if (status->raw != 0) {
        return std::unexpected(std::string(kGitUnavailable));
    }
    if (::lseek(out->get(), 0, SEEK_SET) != 0) {
        return std::unexpected(error_text(errno));
    }
    // Sized from the file rather than filled with 4 MiB of zeros for every small answer;
    // it still grows when something git left behind writes on, up to one byte past the
    // limit so that an overlong output shows.
    constexpr std::size_t cap = GIT_OUTPUT_LIMIT + 1;
    const std::uint64_t size_now = file_size(out->get()).value_or(0);
    std::string bytes;
    bytes.resize(std::min<std::uint64_t>(size_now + 1, cap));
    std::size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (bytes.size() == cap) break;
            bytes.resize(std::min(cap, bytes.size() * 2));
        }
        const ssize_t n = ::read(out->get(), bytes.data() + filled, bytes.size() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(error_text(errno));
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    if (filled > GIT_OUTPUT_LIMIT) {
        return std::unexpected(std::string(kGitOutputTooLarge));
    }
    bytes.resize(filled);
    return bytes;
}

std::expected<std::string, std::string> run_git_budgeted(DevScanState& state,
                                                         std::string_view folder,
                                                         std::span<const std::string> args,
                                                         bool remote) {
    if (state.budget_spent()) {
        return std::unexpected(std::string(kGitBudgetSpent));
    }
    ++state.summary.git_commands;
    const std::uint64_t timeout = state.git_timeout_seconds * (remote ? 2 : 1);
    return run_git(folder, args, state.cancel, timeout);
}

}  // namespace bramvelt::development
