#include "platform/fd.hpp"

#include <unistd.h>

namespace bramvelt::platform {

void Fd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

}  // namespace bramvelt::platform
