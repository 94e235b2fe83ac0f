#pragma once
// The clock the kernel stamps a file's change time (ctime) with, and a moment read from it
// that every later change is stamped after: so "changed since" is a comparison of stamps,
// with no list of what was there.

#include <compare>
#include <cstdint>

#include "platform/file_status.hpp"

namespace bramvelt::platform {

struct ChangeTime {
    std::int64_t seconds = 0;
    std::int32_t nanoseconds = 0;

    auto operator<=>(const ChangeTime&) const = default;
};

// The entry's change time as its status read it.
ChangeTime change_time_of(const EntryStatus& status);

// The real-time clock now, at its full resolution: no change stamped so far is after it.
ChangeTime change_clock_now();

// A moment that no change made before the call is stamped after, and every change made
// after the call returns is stamped strictly after. The kernel stamps most changes from a
// clock that moves a tick at a time (1 to 10 ms), but some from the full-resolution clock,
// so the moment is read at full resolution and the call returns once the ticking clock has
// passed it: at most a tick or two. A file system whose stamps are coarser than that
// (whole seconds) can still stamp a later change at or before the moment.
ChangeTime mark_change_moment();

}  // namespace bramvelt::platform
