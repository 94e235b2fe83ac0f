#include "platform/pipe.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace bramvelt::platform {

std::expected<Pipe, int> open_pipe(PipeBlocking blocking) {
    int fds[2];
    const int flags = O_CLOEXEC | (blocking == PipeBlocking::no ? O_NONBLOCK : 0);
    if (::pipe2(fds, flags) != 0) return std::unexpected(errno);
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

}  // namespace bramvelt::platform
