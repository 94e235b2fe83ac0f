#include "core/filesystem/real_path.hpp"

#include "platform/real_path.hpp"

namespace bramvelt::filesystem {

std::expected<std::string, IoError> real_path(std::string_view path) {
    auto real = platform::real_path(path);
    if (!real) return std::unexpected(IoError::os(real.error()));
    return std::move(*real);
}

}  // namespace bramvelt::filesystem
