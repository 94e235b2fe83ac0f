#include "platform/standard_descriptors.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace bramvelt::platform {

void reserve_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: `fd` itself, since those below it are open by now.
        const int opened = ::open("/dev/null", O_RDONLY);
        if (opened != -1 && opened != fd) ::close(opened);
    }
}

}  // namespace bramvelt::platform
