#include "core/host_trash/trash_adapter.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <thread>

#include "core/host_trash/host_side.hpp"
#include "core/host_trash/trash_request.hpp"
#include "core/host_trash/trash_texts.hpp"
#include "platform/io.hpp"
#include "platform/self_exe.hpp"

namespace bramvelt::host_trash {
namespace {

std::unexpected<std::string> failure(std::string_view text) {
    return std::unexpected(std::string(text));
}

// A host that says it moved the item must have: the entry it was asked to move is no
// longer at the item's place.
std::expected<void, std::string> check_item_left(const TrashAuthorization& authorization) {
    const auto now =
        filesystem::identity_at(authorization.parent().parent_fd(), authorization.parent().name());
    if (!now) {
        if (now.error().error_number == ENOENT) return {};
        return failure(kCannotVerify);
    }
    if (same_entry(*now, authorization.identity())) return failure(kItemRemains);
    return {};
}

// The threads beside the host, joined in this order on every way out.
struct AdapterThreads {
    std::thread watchdog;
    std::thread out_reader;
    std::thread err_reader;

    void join() {
        for (std::thread* t : {&watchdog, &out_reader, &err_reader}) {
            if (t->joinable()) t->join();
        }
    }
};

}  // namespace

std::expected<std::string, std::string> trash_host_beside_program() {
    const auto self = platform::current_exe_path();
    if (!self) return std::unexpected(self.error());
    const std::size_t slash = self->rfind('/');
    if (slash == std::string::npos) return failure(kCannotStartHost);
    return self->substr(0, slash + 1) + std::string(kTrashHostProgram);
}

std::string read_bounded_output(platform::Fd pipe) {
    std::string kept;
    std::array<char, kKeptOutputBytes> buffer{};
    for (;;) {
        const auto n = platform::read_some(pipe.get(), buffer);
        if (!n || *n == 0) break;
        if (kept.size() < kKeptOutputBytes) {
            kept.append(buffer.data(), std::min(*n, kKeptOutputBytes - kept.size()));
        }
    }
    return kept;
}

void trash_watchdog(const std::atomic<bool>& done, std::atomic<bool>& timed_out,
                    ChildRecord& record, Clock::time_point deadline) {
    for (;;) {
        if (done.load()) return;
        const auto now = Clock::now();
        if (now >= deadline) {
            timed_out.store(true);
            const std::lock_guard lock(record.mutex);
            record.child.kill();  // nothing once reaped
            return;
        }
        std::this_thread::sleep_for(
            std::min<Clock::duration>(kAdapterPollInterval, deadline - now));
    }
}

std::expected<void, std::string> run_trash_adapter(const TrashAuthorization& authorization,
                                                   const TrashHostSettings& settings) {
    const auto request =
        encode_trash_request(authorization.identity(), authorization.parent().path());
    if (!request) return std::unexpected(request.error());
    if (auto rechecked = recheck_trash_authorization(authorization); !rechecked) {
        return rechecked;
    }
    if (settings.hooks.after_recheck) settings.hooks.after_recheck();

    const auto program = settings.program.empty()
                             ? trash_host_beside_program()
                             : std::expected<std::string, std::string>(settings.program);
    if (is_cancelled(authorization.cancel())) return failure(kCancelledBeforeExecution);
    if (!program) return failure(kCannotStartHost);
    platform::SpawnOptions options;
    options.program = *program;
    options.in = platform::Stdio::pipe();
    options.out = platform::Stdio::pipe();
    options.err = platform::Stdio::pipe();
    options.new_process_group = true;
    auto spawned = platform::spawn(options);
    if (!spawned) return failure(kCannotStartHost);

    // From here the record's child is killed and reaped on every way out, by its own
    // destructor when nothing else did.
    ChildRecord record;
    record.child = std::move(*spawned);
    if (settings.hooks.after_start) settings.hooks.after_start(record.child);
    platform::Fd in = std::move(record.child.stdin_pipe());
    if (!in) return failure(kStdinUnavailable);
    platform::Fd out = std::move(record.child.stdout_pipe());
    if (!out) return failure(kStdoutUnavailable);
    platform::Fd err = std::move(record.child.stderr_pipe());
    if (!err) return failure(kStderrUnavailable);

    std::atomic<bool> done = false;
    std::atomic<bool> timed_out = false;
    AdapterThreads threads;
    try {
        threads.out_reader = std::thread(
            [pipe = std::move(out)]() mutable { (void)read_bounded_output(std::move(pipe)); });
        if (settings.hooks.between_threads) settings.hooks.between_threads();
        threads.err_reader = std::thread(
            [pipe = std::move(err)]() mutable { (void)read_bounded_output(std::move(pipe)); });
        const Clock::time_point deadline = Clock::now() + settings.time_limit;
        threads.watchdog =
            std::thread([&, deadline] { trash_watchdog(done, timed_out, record, deadline); });
    } catch (...) {
        // Without its threads the run cannot be bounded: end the host first, so the
        // readers that did start see the end of their pipes. Nothing was written, so
        // nothing moved; the failure (the system or memory ran short) goes on to the
        // cleanup run, which fails the item with its text and stops.
        {
            const std::lock_guard lock(record.mutex);
            record.child.kill_and_reap();
        }
        done.store(true);
        threads.join();
        throw;
    }

    // A host that went away before reading gives EPIPE here: not written.
    bool written = false;
    if (!is_cancelled(authorization.cancel())) {
        written = platform::write_all(in.get(), *request).has_value();
    }
    in.reset();

    std::optional<platform::ExitStatus> status;
    for (;;) {
        {
            const std::lock_guard lock(record.mutex);
            const auto polled = record.child.try_wait();
            if (!polled) {
                record.child.kill_and_reap();
                break;
            }
            if (*polled) {
                status = **polled;
                break;
            }
        }
        record.child.sleep_unless_exited(kAdapterPollInterval);
    }
    done.store(true);
    threads.join();

    if (written && status && status->success()) return check_item_left(authorization);
    return failure(timed_out.load() ? kAdapterTimedOut : kAdapterFailed);
}

}  // namespace bramvelt::host_trash
