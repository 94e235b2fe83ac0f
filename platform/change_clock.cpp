#include "platform/change_clock.hpp"

#include <time.h>

#include <cerrno>

namespace bramvelt::platform {
namespace {

ChangeTime read_clock(clockid_t clock) {
    struct timespec now {};
    ::clock_gettime(clock, &now);
    return {static_cast<std::int64_t>(now.tv_sec), static_cast<std::int32_t>(now.tv_nsec)};
}

}  // namespace

ChangeTime change_time_of(const EntryStatus& status) {
    return {status.ctime_seconds, status.ctime_nanoseconds};
}

ChangeTime change_clock_now() {
    return read_clock(CLOCK_REALTIME);
}

ChangeTime mark_change_moment() {
    const ChangeTime moment = change_clock_now();
    struct timespec tick {};
    if (::clock_getres(CLOCK_REALTIME_COARSE, &tick) != 0 ||
        (tick.tv_sec == 0 && tick.tv_nsec == 0)) {
        tick.tv_nsec = 1'000'000;
    }
    // Changes stamped from the ticking clock are stamped after the moment only once it
    // has ticked past it. A clock set back meanwhile ends the wait: later changes are then
    // stamped before the moment, and a check against it can miss them, as it can on a
    // file system with coarse stamps; it never invents one.
    for (;;) {
        const ChangeTime ticking = read_clock(CLOCK_REALTIME_COARSE);
        if (ticking > moment || ticking.seconds + 1 < moment.seconds) break;
        struct timespec rest = tick;
        while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
        }
    }
    return moment;
}

}  // namespace bramvelt::platform
