#include "platform/temp_file.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_status.hpp"
#include "platform/io.hpp"

namespace bramvelt::platform {

std::expected<UnnamedTempFile, int> UnnamedTempFile::create(std::string_view fallback_prefix) {
    const char* tmpdir = ::getenv("TMPDIR");
    std::string dir = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    Fd fd(
        retry_on_eintr([&] { return ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); }));
    if (fd) {
        return UnnamedTempFile(std::move(fd));
    }
    // File systems without O_TMPFILE answer with one of these.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return std::unexpected(errno);
    }
    std::string name = std::move(dir);
    if (!name.ends_with('/')) name.push_back('/');
    name.append(fallback_prefix);
    name.append("XXXXXX");
    fd.reset(retry_on_eintr([&] { return ::mkostemp(name.data(), O_CLOEXEC); }));
    if (!fd) {
        return std::unexpected(errno);
    }
    ::unlink(name.c_str());
    return UnnamedTempFile(std::move(fd));
}

std::expected<std::uint64_t, int> UnnamedTempFile::size() const {
    const auto status = status_of_fd(fd_.get());
    if (!status) return std::unexpected(status.error());
    return static_cast<std::uint64_t>(status->size);
}

std::expected<std::string, int> UnnamedTempFile::read_from_start(std::size_t limit) {
    if (::lseek(fd_.get(), 0, SEEK_SET) != 0) {
        return std::unexpected(errno);
    }
    return read_all(fd_.get(), limit);
}

}  // namespace bramvelt::platform
