#include "platform/spawn.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>
#include <cerrno>
#include <thread>

#include "platform/bound_children.hpp"

extern char** environ;

namespace bramvelt::platform {

bool ExitStatus::success() const {
    return WIFEXITED(raw) && WEXITSTATUS(raw) == 0;
}

std::optional<int> ExitStatus::code() const {
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    return std::nullopt;
}

std::optional<int> ExitStatus::signal() const {
    if (WIFSIGNALED(raw)) {
        return WTERMSIG(raw);
    }
    return std::nullopt;
}

std::string ExitStatus::describe() const {
    if (auto c = code()) {
        return fmt::format("exit status: {}", *c);
    }
    if (auto s = signal()) {
        const char* abbrev = ::sigabbrev_np(*s);
        return abbrev != nullptr ? fmt::format("signal: {} (SIG{})", *s, abbrev)
                                 : fmt::format("signal: {}", *s);
    }
    return fmt::format("unknown wait status: {}", raw);
}

Child::~Child() {
    reset();
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      group_(other.group_),
      bound_(std::exchange(other.bound_, false)),
      status_(std::exchange(other.status_, std::nullopt)),
      exit_watch_(std::move(other.exit_watch_)),
      in_(std::move(other.in_)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        reset();
        pid_ = std::exchange(other.pid_, -1);
        group_ = other.group_;
        bound_ = std::exchange(other.bound_, false);
        status_ = std::exchange(other.status_, std::nullopt);
        exit_watch_ = std::move(other.exit_watch_);
        in_ = std::move(other.in_);
        out_ = std::move(other.out_);
        err_ = std::move(other.err_);
    }
    return *this;
}

void Child::reset() {
    in_.reset();
    out_.reset();
    err_.reset();
    if (running()) {
        kill_and_reap();
    }
    if (bound_) unlist_bound_child(pid_);
    pid_ = -1;
    bound_ = false;
}

std::expected<std::optional<ExitStatus>, int> Child::try_wait() {
    if (status_) {
        return status_;
    }
    if (pid_ <= 0) {
        return std::unexpected(ECHILD);
    }
    for (;;) {
        int raw = 0;
        const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) {
            reaped(raw);
            return status_;
        }
        if (r == 0) {
            return std::optional<ExitStatus>{};
        }
        if (errno != EINTR) {
            return std::unexpected(errno);
        }
    }
}

std::expected<ExitStatus, int> Child::wait() {
    if (status_) {
        return *status_;
    }
    if (pid_ <= 0) {
        return std::unexpected(ECHILD);
    }
    for (;;) {
        int raw = 0;
        const pid_t r = ::waitpid(pid_, &raw, 0);
        if (r == pid_) {
            reaped(raw);
            return *status_;
        }
        if (errno != EINTR) {
            return std::unexpected(errno);
        }
    }
}

std::expected<std::optional<ExitStatus>, int> Child::wait_for(std::chrono::milliseconds timeout,
                                                              std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto r = try_wait();
        if (!r || *r) {
            return r;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return std::optional<ExitStatus>{};
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(interval, deadline - now));
    }
}

void Child::sleep_unless_exited(std::chrono::milliseconds limit) {
    if (!running()) {
        return;
    }
    if (!exit_watch_) {
        std::this_thread::sleep_for(limit);
        return;
    }
    pollfd watch{exit_watch_.get(), POLLIN, 0};
    // An interrupted poll only ends this sleep early; the caller looks again anyway.
    (void)::poll(&watch, 1, static_cast<int>(limit.count()));
}

// Unlisted at once: a reaped pid may be given to another process.
void Child::reaped(int raw) {
    status_ = ExitStatus{raw};
    if (bound_) unlist_bound_child(pid_);
    bound_ = false;
}

void Child::kill() {
    if (!running()) {
        return;
    }
    if (group_) {
        ::kill(-pid_, SIGKILL);
    } else {
        ::kill(pid_, SIGKILL);
    }
}

void Child::kill_and_reap() {
    kill();
    (void)wait();
}

namespace {

// posix_spawn file actions and attributes, released on every return path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

// Sets up one standard stream; for pipes, `parent_end` receives our end.
int add_stream(SpawnSetup& setup, const Stdio& stdio, int target, bool child_reads, Fd& parent_end,
               Fd& child_end) {
    switch (stdio.kind) {
        case StdioKind::Inherit:
            return 0;
        case StdioKind::Null:
            return posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null",
                                                    child_reads ? O_RDONLY : O_WRONLY, 0);
        case StdioKind::Fd:
            return posix_spawn_file_actions_adddup2(&setup.actions, stdio.fd, target);
        case StdioKind::Pipe: {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) {
                return errno;
            }
            Fd read_end(fds[0]);
            Fd write_end(fds[1]);
            if (child_reads) {
                parent_end = std::move(write_end);
                child_end = std::move(read_end);
            } else {
                parent_end = std::move(read_end);
                child_end = std::move(write_end);
            }
            return posix_spawn_file_actions_adddup2(&setup.actions, child_end.get(), target);
        }
    }
    return EINVAL;
}

}  // namespace

std::expected<Child, int> spawn(const SpawnOptions& options) {
    SpawnSetup setup;
    Child child;
    Fd child_in;
    Fd child_out;
    Fd child_err;
    if (int e = add_stream(setup, options.in, 0, true, child.in_, child_in))
        return std::unexpected(e);
    if (int e = add_stream(setup, options.out, 1, false, child.out_, child_out))
        return std::unexpected(e);
    if (int e = add_stream(setup, options.err, 2, false, child.err_, child_err))
        return std::unexpected(e);
    if (int e = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3))
        return std::unexpected(e);

    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigmask(&setup.attr, &mask);
    if (options.new_process_group) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&setup.attr, 0);
    }
    posix_spawnattr_setflags(&setup.attr, flags);

    std::vector<char*> argv;
    const std::string& argv0 = options.argv0.empty() ? options.program : options.argv0;
    argv.push_back(const_cast<char*>(argv0.c_str()));
    for (const auto& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    char** env = environ;
    if (options.environment) {
        for (const auto& e : *options.environment) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        env = envp.data();
    }

    const bool bound = options.end_with_program == EndWithProgram::yes;
    std::optional<BoundStart> bound_start;
    if (bound) {
        bound_start.emplace();
        if (!bound_start->allowed()) return std::unexpected(ECANCELED);
    }
    pid_t pid = -1;
    const bool search = options.program.find('/') == std::string::npos;
    const int rc = search ? ::posix_spawnp(&pid, options.program.c_str(), &setup.actions,
                                           &setup.attr, argv.data(), env)
                          : ::posix_spawn(&pid, options.program.c_str(), &setup.actions,
                                          &setup.attr, argv.data(), env);
    if (rc != 0) {
        return std::unexpected(rc);
    }
    child.pid_ = pid;
    child.group_ = options.new_process_group;
    if (bound) {
        child.bound_ = list_bound_child(pid, child.group_);
        bound_start.reset();
        if (!child.bound_) {
            // Unlisted, it could outlive the program.
            child.kill_and_reap();
            return std::unexpected(EAGAIN);
        }
    }
    // The child is ours and unreaped, so its pid cannot have been reused yet. Without
    // pidfd support the sleeps simply run their full length.
    const long watch = ::syscall(SYS_pidfd_open, pid, 0);
    if (watch >= 0) {
        child.exit_watch_.reset(static_cast<int>(watch));
    }
    return child;
}

}  // namespace bramvelt::platform
