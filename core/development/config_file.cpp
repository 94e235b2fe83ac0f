#include "core/development/config_file.hpp"

#include <fcntl.h>  // open flags for platform::open_at

#include <cerrno>

#include "platform/file_status.hpp"
#include "platform/io.hpp"

namespace bramvelt::development {

FileRead read_config_file(const std::string& path, std::string& text) {
    auto fd = platform::open_at(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (!fd) {
        return fd.error() == ENOENT || fd.error() == ENOTDIR ? FileRead::Absent : FileRead::Unsure;
    }
    const auto st = platform::status_of_fd(fd->get());
    if (!st || !st->is_regular()) {
        return FileRead::Unsure;
    }
    auto bytes = platform::read_all(fd->get(), kConfigFileLimit + 1);
    if (!bytes || bytes->size() > kConfigFileLimit) {
        return FileRead::Unsure;
    }
    text = std::move(*bytes);
    return FileRead::Read;
}

}  // namespace bramvelt::development
