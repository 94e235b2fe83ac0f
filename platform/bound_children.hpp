#pragma once
// Children that must not outlive the program. A child in a process group of its own
// hears nothing from the terminal, so when a fatal signal ends the program it would run
// on with no parent; a child started bound (`SpawnOptions::end_with_program`) is listed
// from its start until it is reaped, so that the signal's handler can end it first.

#include <signal.h>
#include <sys/types.h>

namespace bramvelt::platform {

// Async-signal-safe. From now on no bound child starts (its spawn fails with
// ECANCELED); starts under way are waited for; every listed child gets SIGKILL (its
// whole group when it has one); then, for at most about two seconds in all, each is
// waited for until it has ended. None is reaped: its owner may still be waiting for it.
void end_bound_children() noexcept;

// For spawn: brackets the start of a bound child, until it is listed. Meanwhile the
// signals that end the program wait on this thread, and end_bound_children, on any
// other, waits for the start to finish, so a child is never started and missed.
class BoundStart {
  public:
    BoundStart() noexcept;
    ~BoundStart();
    BoundStart(const BoundStart&) = delete;
    BoundStart& operator=(const BoundStart&) = delete;

    // False once the children are being ended: start nothing.
    bool allowed() const { return allowed_; }

  private:
    sigset_t previous_mask_;
    bool allowed_ = false;
};

// The child is listed as soon as it runs, until it is reaped. False when the list is
// full; the caller must then not let the child run.
bool list_bound_child(pid_t pid, bool own_group) noexcept;
void unlist_bound_child(pid_t pid) noexcept;

}  // namespace bramvelt::platform
