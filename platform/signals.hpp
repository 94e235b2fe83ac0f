#pragma once

namespace bramvelt::platform {

// A closed pipe (a reader that went away, a child that died) must surface as a write
// error, never as a signal that ends the program.
void ignore_sigpipe();

}  // namespace bramvelt::platform
