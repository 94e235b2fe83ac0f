#pragma once
// Ends the process at once with a status: no static destructors, no exit handlers, no
// stream flushing. For a process whose detached threads may still run, where tearing
// down static objects under them would be undefined.

namespace bramvelt::platform {

[[noreturn]] void immediate_exit(int status);

}  // namespace bramvelt::platform
