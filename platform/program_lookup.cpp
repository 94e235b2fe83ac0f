#include "platform/program_lookup.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_status.hpp"

namespace bramvelt::platform {
namespace {

// The errors after which the library's search goes on with the next folder.
bool search_moves_on(int error) {
    return error == ENOENT || error == ENOTDIR || error == ESTALE || error == ENODEV ||
           error == ETIMEDOUT || error == EACCES;
}

}  // namespace

std::optional<std::string> find_program_on_path(std::string_view name,
                                                std::optional<std::string_view> search_path) {
    if (name.empty() || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view path = search_path.value_or(kLibraryDefaultSearchPath);
    std::size_t pos = 0;
    while (pos <= path.size()) {
        const std::size_t end = std::min(path.find(':', pos), path.size());
        const std::string_view folder = path.substr(pos, end - pos);
        pos = end + 1;
        if (!folder.starts_with('/')) {
            return std::nullopt;
        }
        std::string candidate(folder);
        candidate.push_back('/');
        candidate.append(name);
        const auto st = status_of_path(candidate, FollowFinalLink::yes);
        if (!st) {
            if (search_moves_on(st.error())) continue;
            return std::nullopt;
        }
        // Anything but a regular file fails to start with EACCES, and the search goes on.
        if (!st->is_regular()) {
            continue;
        }
        if (::faccessat(AT_FDCWD, candidate.c_str(), X_OK, AT_EACCESS) == 0) {
            return candidate;
        }
        if (errno != EACCES) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace bramvelt::platform
