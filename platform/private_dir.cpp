#include "platform/private_dir.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace bramvelt::platform {

std::expected<std::string, int> make_private_temp_dir(std::string_view prefix) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string base = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    if (!base.starts_with('/')) {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) return std::unexpected(errno);
        base = std::string(cwd) + "/" + base;
    }
    std::string pattern = base + "/" + std::string(prefix) + "XXXXXX";
    if (pattern.find('\0') != std::string::npos) return std::unexpected(EINVAL);
    // mkdtemp creates the folder with mode 0700.
    if (::mkdtemp(pattern.data()) == nullptr) return std::unexpected(errno);
    return pattern;
}

}  // namespace bramvelt::platform
