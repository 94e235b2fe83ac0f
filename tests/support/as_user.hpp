#pragma once
// Runs a piece of a test in a forked child under another user, since root ignores
// permission bits. The body returns the child's exit code; any exception makes it 125.

#include <sys/types.h>

#include <functional>

namespace bramvelt::testing {

inline constexpr uid_t kNobody = 65534;

// The child's exit code, or 128 + signal when a signal ended it; -1 when fork failed.
int run_in_child_as(uid_t uid, gid_t gid, const std::function<int()>& body);

// A forked child that stays root, for bodies that change process-wide state
// (mount namespaces, user IDs) the test process must keep.
int run_in_child(const std::function<int()>& body);

}  // namespace bramvelt::testing
