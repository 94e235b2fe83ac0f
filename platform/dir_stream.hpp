#pragma once
// An owned directory stream over a descriptor that was already opened (and checked).
// The destructor calls closedir, which also closes the descriptor.

#include <dirent.h>

#include <expected>
#include <string>
#include <utility>

#include "platform/fd.hpp"

namespace bramvelt::platform {

class DirStream {
  public:
    DirStream() = default;
    ~DirStream();
    DirStream(const DirStream&) = delete;
    DirStream& operator=(const DirStream&) = delete;
    DirStream(DirStream&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}
    DirStream& operator=(DirStream&& other) noexcept;

    // Takes ownership of the descriptor; on failure the descriptor is closed and the
    // error number returned.
    static std::expected<DirStream, int> from_fd(Fd fd);

    DIR* get() const { return dir_; }
    int fd() const;

  private:
    explicit DirStream(DIR* dir) : dir_(dir) {}
    DIR* dir_ = nullptr;
};

}  // namespace bramvelt::platform
