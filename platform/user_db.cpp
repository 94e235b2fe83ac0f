#include "platform/user_db.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace bramvelt::platform {

std::optional<std::string> account_home(uid_t uid) {
    constexpr std::size_t kFirstSize = 64 * 1024;
    constexpr std::size_t kLastSize = 1024 * 1024;
    std::vector<char> buffer(kFirstSize, '\0');
    for (;;) {
        passwd record{};
        passwd* found = nullptr;
        int rc;
        do {
            rc = ::getpwuid_r(uid, &record, buffer.data(), buffer.size(), &found);
        } while (rc == EINTR);
        if (rc == ERANGE && buffer.size() < kLastSize) {
            buffer.resize(buffer.size() * 2, '\0');
            continue;
        }
        if (rc != 0 || found == nullptr || record.pw_dir == nullptr) {
            return std::nullopt;
        }
        return std::string(record.pw_dir);
    }
}

uid_t real_user_id() {
    return ::getuid();
}

}  // namespace bramvelt::platform
