#include "platform/rename.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace bramvelt::platform {

std::expected<void, int> rename_no_replace(int old_dirfd, const char* old_name, int new_dirfd,
                                           const char* new_name) {
    const long rc =
        ::syscall(SYS_renameat2, old_dirfd, old_name, new_dirfd, new_name, RENAME_NOREPLACE);
    if (rc != 0) return std::unexpected(errno);
    return {};
}

}  // namespace bramvelt::platform
