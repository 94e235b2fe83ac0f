#include "platform/bound_children.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <atomic>
#include <cerrno>

namespace bramvelt::platform {
namespace {

// Far above what one program runs at once (a search asks at most a few Git commands
// ahead, a cleanup one at a time); a full list refuses the start instead.
constexpr int kSlots = 256;

// What to kill: -pid for a child that leads its own group, pid otherwise; 0 is free.
// Constant-initialised, so the handler never meets a static initialiser.
constinit std::atomic<pid_t> g_listed[kSlots] = {};
constinit std::atomic<int> g_starting{0};
constinit std::atomic<bool> g_ending{false};
static_assert(std::atomic<pid_t>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

constexpr long kStepNanoseconds = 1'000'000;
constexpr long kSteps = 2'000;

void pause_a_step() noexcept {
    timespec step{0, kStepNanoseconds};
    ::nanosleep(&step, nullptr);
}

// Whether the child has ended (or is no longer ours to ask about), without reaping it.
bool has_ended(pid_t pid) noexcept {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return errno != EINTR;
    }
    return info.si_pid != 0;
}

}  // namespace

BoundStart::BoundStart() noexcept {
    sigset_t ending;
    ::sigemptyset(&ending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::sigaddset(&ending, sig);
    ::pthread_sigmask(SIG_BLOCK, &ending, &previous_mask_);
    g_starting.fetch_add(1);
    // Paired with end_bound_children: either it sees this start under way and waits for
    // it to be listed, or this start sees it ending and does not happen.
    allowed_ = !g_ending.load();
}

BoundStart::~BoundStart() {
    g_starting.fetch_sub(1);
    ::pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
}

bool list_bound_child(pid_t pid, bool own_group) noexcept {
    const pid_t target = own_group ? -pid : pid;
    for (auto& slot : g_listed) {
        pid_t free = 0;
        if (slot.compare_exchange_strong(free, target)) return true;
    }
    return false;
}

void unlist_bound_child(pid_t pid) noexcept {
    for (auto& slot : g_listed) {
        pid_t listed = slot.load();
        if (listed == pid || listed == -pid) slot.compare_exchange_strong(listed, 0);
    }
}

void end_bound_children() noexcept {
    const int saved = errno;
    g_ending.store(true);
    long steps = 0;
    while (g_starting.load() != 0 && steps < kSteps) {
        pause_a_step();
        ++steps;
    }
    for (auto& slot : g_listed) {
        const pid_t target = slot.load();
        if (target == 0) continue;
        ::kill(target, SIGKILL);
        // A child that left its group is still ours to end.
        if (target < 0) ::kill(-target, SIGKILL);
    }
    for (auto& slot : g_listed) {
        const pid_t target = slot.load();
        if (target == 0) continue;
        const pid_t pid = target < 0 ? -target : target;
        while (!has_ended(pid) && steps < kSteps) {
            pause_a_step();
            ++steps;
        }
    }
    errno = saved;
}

}  // namespace bramvelt::platform
