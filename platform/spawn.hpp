#pragma once
// Child processes: posix_spawn with chosen standard streams, descriptors above 2 closed,
// optionally in a process group of their own. A `Child` that goes out of scope while
// its process still runs kills it (the whole group when it has one) and reaps it, so no
// early return leaves a process behind; one started bound to the program is also ended
// by a fatal signal's handler (bound_children.hpp).

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "platform/fd.hpp"

namespace bramvelt::platform {

enum class StdioKind { Inherit, Null, Pipe, Fd };

struct Stdio {
    StdioKind kind = StdioKind::Inherit;
    int fd = -1;  // for StdioKind::Fd: duplicated into the child, still owned by the caller

    static Stdio inherit() { return {}; }
    static Stdio null() { return {StdioKind::Null, -1}; }
    static Stdio pipe() { return {StdioKind::Pipe, -1}; }
    static Stdio from_fd(int fd) { return {StdioKind::Fd, fd}; }
};

// Whether a fatal signal that ends the program ends the child first.
enum class EndWithProgram : bool { no, yes };

struct SpawnOptions {
    std::string program;            // absolute path, or a name looked up in PATH
    std::string argv0;              // the name the child sees; empty: `program`
    std::vector<std::string> args;  // arguments after the program name
    // The child's whole environment as "NAME=value" entries; absent inherits ours.
    std::optional<std::vector<std::string>> environment;
    Stdio in;
    Stdio out;
    Stdio err;
    bool new_process_group = false;
    EndWithProgram end_with_program = EndWithProgram::no;
};

// How a child ended, as waitpid reported it.
struct ExitStatus {
    int raw = 0;
    bool success() const;
    std::optional<int> code() const;    // exit code, when it exited
    std::optional<int> signal() const;  // terminating signal, when one ended it
    std::string describe() const;       // "exit status: N" or "signal: N (SIGNAME)"
};

class Child {
  public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !status_; }

    // Pipe ends for streams spawned with Stdio::pipe(); empty otherwise.
    Fd& stdin_pipe() { return in_; }
    Fd& stdout_pipe() { return out_; }
    Fd& stderr_pipe() { return err_; }

    // Non-blocking: the status once the child has ended, nothing while it runs, or the
    // error number of a failed wait (EINTR is retried).
    std::expected<std::optional<ExitStatus>, int> try_wait();
    // Blocks until the child ends (EINTR is retried).
    std::expected<ExitStatus, int> wait();
    // Polls every `interval` until the child ends or `timeout` passes; nothing on timeout.
    std::expected<std::optional<ExitStatus>, int> wait_for(std::chrono::milliseconds timeout,
                                                           std::chrono::milliseconds interval);
    // Sleeps for at most `limit`, returning early when the child ends, so a poll loop
    // notices a finished child at once instead of at its next turn. Does not reap.
    void sleep_unless_exited(std::chrono::milliseconds limit);
    // SIGKILL to the child's group when it has one, else to the child. Does not reap.
    void kill();
    // Kills and reaps, whatever state the child is in.
    void kill_and_reap();

  private:
    friend std::expected<Child, int> spawn(const SpawnOptions& options);
    void reset();
    void reaped(int raw);
    pid_t pid_ = -1;
    bool group_ = false;
    bool bound_ = false;  // listed among the children a fatal signal ends
    std::optional<ExitStatus> status_;
    Fd exit_watch_;  // pidfd: readable once the child has ended
    Fd in_;
    Fd out_;
    Fd err_;
};

// Starts the child; the error is the failure's error number.
std::expected<Child, int> spawn(const SpawnOptions& options);

}  // namespace bramvelt::platform
