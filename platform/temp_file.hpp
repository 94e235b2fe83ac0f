#pragma once
// A temporary file without a name, for collecting what a child process writes. It has no
// name from the start (O_TMPFILE) where the file system allows, else its name is removed
// right after creation; either way it vanishes with its last descriptor. The destructor
// closes the descriptor and does nothing else.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "platform/fd.hpp"

namespace bramvelt::platform {

class UnnamedTempFile {
  public:
    // A file in $TMPDIR (/tmp when unset or empty). `fallback_prefix` starts the name of
    // the short-lived file made where O_TMPFILE is not supported. The error is errno.
    static std::expected<UnnamedTempFile, int> create(std::string_view fallback_prefix);

    int fd() const { return fd_.get(); }
    // The file's length now. The error is errno.
    std::expected<std::uint64_t, int> size() const;
    // What was written so far, from the first byte on, at most `limit` bytes. The error
    // is errno.
    std::expected<std::string, int> read_from_start(std::size_t limit);

  private:
    explicit UnnamedTempFile(Fd fd) : fd_(std::move(fd)) {}
    Fd fd_;
};

}  // namespace bramvelt::platform
