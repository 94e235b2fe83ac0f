#include "platform/self_exe.hpp"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/os_error.hpp"

namespace bramvelt::platform {

std::expected<std::string, std::string> current_exe_path() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return std::unexpected(os_error_text(errno));
        }
        if (static_cast<size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<size_t>(n));
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace bramvelt::platform
