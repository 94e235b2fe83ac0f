#include "core/filesystem/parent_handle.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/filesystem/byte_path.hpp"
#include "core/filesystem/real_path.hpp"
#include "platform/nofollow_open.hpp"

namespace bramvelt::filesystem {
namespace {

std::unexpected<IoError> other(std::string_view message) {
    return std::unexpected(IoError::other(std::string(message)));
}

std::expected<platform::Fd, IoError> open_checked(const ParentHandle& handle, int flags,
                                                  const FileIdentity& authorized,
                                                  std::string_view changed_message) {
    if (auto checked = check_authorized_identity(handle, authorized); !checked) {
        return std::unexpected(std::move(checked.error()));
    }
    int raw;
    do {
        raw = ::openat(handle.parent_fd.get(), handle.name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) {
        return std::unexpected(IoError::os(errno));
    }
    platform::Fd fd(raw);
    auto opened = identity_of_fd(fd.get());
    if (!opened) {
        return std::unexpected(std::move(opened.error()));
    }
    if (*opened != authorized) {
        return other(changed_message);
    }
    return fd;
}

}  // namespace

std::expected<ParentHandle, IoError> open_parent_dir(std::string_view path) {
    const std::optional<std::string> parent = path_parent(path);
    if (!parent) {
        return other(kCannotOperateOnRoot);
    }
    if (parent->find('\0') != std::string::npos) {
        return other(kNulInParentPath);
    }
    auto real_parent = real_path(*parent);
    if (!real_parent) {
        return std::unexpected(std::move(real_parent.error()));
    }
    std::optional<std::string> name = path_file_name(path);
    if (!name) {
        return other(kMissingFilename);
    }
    ParentHandle handle;
    handle.path = path_join(*real_parent, *name);
    auto fd = platform::open_nofollow_any(*real_parent, O_RDONLY | O_DIRECTORY);
    if (!fd) {
        return std::unexpected(IoError::os(fd.error()));
    }
    if (name->find('\0') != std::string::npos) {
        return other(kNulInFilename);
    }
    handle.name = std::move(*name);
    handle.parent_fd = std::move(*fd);
    return handle;
}

std::expected<void, IoError> check_authorized_identity(const ParentHandle& handle,
                                                       const FileIdentity& authorized) {
    auto current = identity_at(handle.parent_fd.get(), handle.name);
    if (!current) {
        return std::unexpected(std::move(current.error()));
    }
    if (*current != authorized) {
        return other(kItemChanged);
    }
    // The parent path must still lead to the folder we hold: a parent moved away or
    // replaced after the handle was opened would make the path lie about the target.
    const std::string parent = path_parent(handle.path).value_or(std::string());
    struct stat by_path {};
    if (::stat(parent.c_str(), &by_path) != 0) {
        return std::unexpected(IoError::os(errno));
    }
    struct stat by_fd {};
    if (::fstat(handle.parent_fd.get(), &by_fd) != 0) {
        return std::unexpected(IoError::os(errno));
    }
    if (by_path.st_dev != by_fd.st_dev || by_path.st_ino != by_fd.st_ino) {
        return other(kParentChanged);
    }
    return {};
}

std::expected<platform::Fd, IoError> open_verified_dir(const ParentHandle& handle,
                                                       const FileIdentity& authorized) {
    return open_checked(handle, O_RDONLY | O_DIRECTORY, authorized, kDirectoryChangedWhileOpening);
}

std::expected<platform::Fd, IoError> open_verified_file(const ParentHandle& handle, bool write,
                                                        const FileIdentity& authorized) {
    return open_checked(handle, O_NONBLOCK | (write ? O_RDWR : O_RDONLY), authorized,
                        kFileChangedWhileOpening);
}

std::expected<void, IoError> unlink_verified(const ParentHandle& handle, bool directory,
                                             const FileIdentity& authorized) {
    if (auto checked = check_authorized_identity(handle, authorized); !checked) {
        return checked;
    }
    if (::unlinkat(handle.parent_fd.get(), handle.name.c_str(), directory ? AT_REMOVEDIR : 0) !=
        0) {
        return std::unexpected(IoError::os(errno));
    }
    return {};
}

}  // namespace bramvelt::filesystem
