#include "platform/real_path.hpp"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/file_status.hpp"

namespace bramvelt::platform {

std::expected<std::string, int> real_path(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
    const std::string text(path);
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(text.c_str(), nullptr),
                                                         &std::free);
    if (!resolved) return std::unexpected(errno);
    return std::string(resolved.get());
}

std::expected<std::string, int> real_directory(std::string_view path) {
    auto real = real_path(path);
    if (!real) return real;
    const auto status = status_of_path(*real, FollowFinalLink::no);
    if (!status) return std::unexpected(status.error());
    if (!status->is_directory()) return std::unexpected(ENOTDIR);
    return real;
}

}  // namespace bramvelt::platform
