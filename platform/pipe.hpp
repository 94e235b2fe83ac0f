#pragma once
// An anonymous pipe whose two ends are owned and close-on-exec.

#include <expected>

#include "platform/fd.hpp"

namespace bramvelt::platform {

// Whether reads and writes on the ends wait (blocking) or fail with EAGAIN at once.
enum class PipeBlocking { yes, no };

struct Pipe {
    Fd read_end;
    Fd write_end;
};

// The error is errno.
std::expected<Pipe, int> open_pipe(PipeBlocking blocking);

}  // namespace bramvelt::platform
