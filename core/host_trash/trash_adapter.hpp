#pragma once
// The one place where an item actually goes to the Trash: the host program
// bramvelt-trash-host, started beside the running program, gets the request on its
// standard input, checks the item once more and moves it. The adapter waits for it,
// draining its output, and kills it when it outlives its time limit; only its exit
// status counts, never what it prints.

#include <atomic>
#include <chrono>
#include <expected>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "core/host_trash/trash_authorization.hpp"
#include "platform/fd.hpp"
#include "platform/spawn.hpp"

namespace bramvelt::host_trash {

inline constexpr std::chrono::seconds kAdapterTimeLimit{30};
inline constexpr std::chrono::milliseconds kAdapterPollInterval{20};
// Bytes of each output stream kept (and then discarded); the rest is read and dropped.
inline constexpr std::size_t kKeptOutputBytes = 4096;
inline constexpr std::string_view kTrashHostProgram = "bramvelt-trash-host";

// Test seams of one adapter run, called at fixed points so a test can act there.
struct AdapterHooks {
    std::function<void()> after_recheck;                // before the start
    std::function<void(platform::Child&)> after_start;  // before the pipes are taken
    std::function<void()> between_threads;              // after the first output reader started
};

// Which host program runs and how long it may take.
struct TrashHostSettings {
    std::string program;  // empty: kTrashHostProgram beside the running program
    std::chrono::milliseconds time_limit = kAdapterTimeLimit;
    AdapterHooks hooks;
};

// kTrashHostProgram in the running program's own folder (read from the kernel, never
// from the environment or PATH), or the failure's text.
std::expected<std::string, std::string> trash_host_beside_program();

// For a reserved, re-checked authorization: encode the request, re-check again, start
// the host in a process group of its own (so the terminal's Ctrl-C reaches the program,
// not a host halfway through its move), write the request, wait. Success only when the
// whole request was written, the host exited with 0, and the item has left its place as
// authorized. The host is always killed when it may still run, and always reaped. A
// thread beside the host that cannot start (std::system_error, std::bad_alloc) is thrown
// on, after the host was killed and reaped and the threads that did start were joined.
std::expected<void, std::string> run_trash_adapter(const TrashAuthorization& authorization,
                                                   const TrashHostSettings& settings = {});

// The child and its wait status, shared by the waiting thread and the watchdog: the
// lock makes sure a kill never reaches a process that was already reaped.
struct ChildRecord {
    std::mutex mutex;
    platform::Child child;
};

// Reads `pipe` to its end (or first failure), keeping exactly its first
// kKeptOutputBytes bytes, so the host never blocks on a full pipe. Closes it.
std::string read_bounded_output(platform::Fd pipe);

// Until `done`: at `deadline` sets `timed_out` and kills the child unless it was
// reaped; otherwise looks again every kAdapterPollInterval.
void trash_watchdog(const std::atomic<bool>& done, std::atomic<bool>& timed_out,
                    ChildRecord& record, Clock::time_point deadline);

}  // namespace bramvelt::host_trash
