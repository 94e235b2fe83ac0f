#include "core/filesystem/real_path.hpp"

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace bramvelt::filesystem {

std::expected<std::string, IoError> real_path(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return std::unexpected(IoError::os(EINVAL));
    }
    const std::string text(path);
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(text.c_str(), nullptr),
                                                         &std::free);
    if (!resolved) {
        return std::unexpected(IoError::os(errno));
    }
    return std::string(resolved.get());
}

}  // namespace bramvelt::filesystem
