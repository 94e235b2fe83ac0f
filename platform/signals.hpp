#pragma once

namespace bramvelt::platform {

// A closed pipe (a reader that went away, a child that died) must surface as a write
// error, never as a signal that ends the program.
void ignore_sigpipe();

// An ignored SIGCHLD survives exec, and while it is ignored the kernel reaps children
// itself, so every wait for one fails. Whatever the parent left, children are ours to
// wait for.
void default_sigchld();

}  // namespace bramvelt::platform
