#include "platform/dir_stream.hpp"

#include <cerrno>

namespace bramvelt::platform {

DirStream::~DirStream() {
    if (dir_ != nullptr) {
        ::closedir(dir_);
    }
}

DirStream& DirStream::operator=(DirStream&& other) noexcept {
    if (this != &other) {
        if (dir_ != nullptr) {
            ::closedir(dir_);
        }
        dir_ = std::exchange(other.dir_, nullptr);
    }
    return *this;
}

std::expected<DirStream, int> DirStream::from_fd(Fd fd) {
    DIR* dir = ::fdopendir(fd.get());
    if (dir == nullptr) {
        return std::unexpected(errno);
    }
    fd.release();
    return DirStream(dir);
}

int DirStream::fd() const {
    return dir_ != nullptr ? ::dirfd(dir_) : -1;
}

}  // namespace bramvelt::platform
