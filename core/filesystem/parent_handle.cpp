#include "core/filesystem/parent_handle.hpp"

// The open flags of the guarded opens and the guarded unlinkat are this file's subject.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/filesystem/byte_path.hpp"
#include "core/filesystem/real_path.hpp"
#include "platform/file_status.hpp"
#include "platform/io.hpp"
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
    auto fd = platform::open_at(handle.parent_fd.get(), handle.name.c_str(), flags | O_NOFOLLOW);
    if (!fd) {
        return std::unexpected(IoError::os(fd.error()));
    }
    auto opened = identity_of_fd(fd->get());
    if (!opened) {
        return std::unexpected(std::move(opened.error()));
    }
    if (*opened != authorized) {
        return other(changed_message);
    }
    return std::move(*fd);
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
    const auto by_path = platform::status_of_path(parent, platform::FollowFinalLink::yes);
    if (!by_path) {
        return std::unexpected(IoError::os(by_path.error()));
    }
    const auto by_fd = platform::status_of_fd(handle.parent_fd.get());
    if (!by_fd) {
        return std::unexpected(IoError::os(by_fd.error()));
    }
    if (by_path->device != by_fd->device || by_path->inode != by_fd->inode) {
        return other(kParentChanged);
    }
    return {};
}

std::expected<platform::Fd, IoError> open_verified_dir(const ParentHandle& handle,
                                                       const FileIdentity& authorized) {
    return open_checked(handle, O_RDONLY | O_DIRECTORY, authorized, kDirectoryChangedWhileOpening);
}

std::expected<platform::Fd, IoError> open_verified_file(const ParentHandle& handle,
                                                        FileAccess access,
                                                        const FileIdentity& authorized) {
    const int mode = access == FileAccess::ReadWrite ? O_RDWR : O_RDONLY;
    return open_checked(handle, O_NONBLOCK | mode, authorized, kFileChangedWhileOpening);
}

std::expected<void, IoError> unlink_verified(const ParentHandle& handle, UnlinkAs kind,
                                             const FileIdentity& authorized) {
    if (auto checked = check_authorized_identity(handle, authorized); !checked) {
        return checked;
    }
    const int flags = kind == UnlinkAs::Directory ? AT_REMOVEDIR : 0;
    if (::unlinkat(handle.parent_fd.get(), handle.name.c_str(), flags) != 0) {
        return std::unexpected(IoError::os(errno));
    }
    return {};
}

}  // namespace bramvelt::filesystem
