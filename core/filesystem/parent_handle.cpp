#include "core/filesystem/parent_handle.hpp"

// The open flags of the guarded opens and the guarded unlinkat are this file's subject.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>

#include "core/filesystem/byte_path.hpp"
#include "core/filesystem/real_path.hpp"
#include "platform/file_status.hpp"
#include "platform/io.hpp"
#include "platform/nofollow_open.hpp"
#include "platform/random.hpp"
#include "platform/rename.hpp"

namespace bramvelt::filesystem {
namespace {

std::atomic<void (*)()> before_unlink_hook{nullptr};

std::unexpected<IoError> other(std::string_view message) {
    return std::unexpected(IoError::other(std::string(message)));
}

std::expected<platform::Fd, IoError> open_checked(const ParentHandle& handle, int flags,
                                                  const FileIdentity& authorized,
                                                  std::string_view changed_message) {
    if (auto checked = check_authorized_identity(handle, authorized); !checked) {
        return std::unexpected(std::move(checked.error()));
    }
    auto fd = platform::open_at(handle.parent_fd(), handle.name().c_str(), flags | O_NOFOLLOW);
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

// The parent of `path` (already real, or just resolved) opened with no link followed,
// and the plain name below it.
struct OpenedParent {
    std::string path;
    std::string name;
    platform::Fd fd;
};

std::expected<OpenedParent, IoError> open_below(std::string_view real_parent,
                                                 std::optional<std::string> name) {
    if (!name) {
        return other(kMissingFilename);
    }
    std::string joined = path_join(real_parent, *name);
    // O_PATH: the handle only names entries relative to the folder, which needs no read
    // permission on it, just as reaching the entry by path does not.
    auto fd = platform::open_nofollow_any(real_parent, O_PATH | O_DIRECTORY);
    if (!fd) {
        return std::unexpected(IoError::os(fd.error()));
    }
    if (name->find('\0') != std::string::npos) {
        return other(kNulInFilename);
    }
    return OpenedParent{std::move(joined), std::move(*name), std::move(*fd)};
}

// The parent part of `path`: kCannotOperateOnRoot for a root, no NUL bytes.
std::expected<std::string, IoError> parent_text(std::string_view path) {
    std::optional<std::string> parent = path_parent(path);
    if (!parent) {
        return other(kCannotOperateOnRoot);
    }
    if (parent->find('\0') != std::string::npos) {
        return other(kNulInParentPath);
    }
    return std::move(*parent);
}

}  // namespace

std::expected<ParentHandle, IoError> open_parent_dir(std::string_view path) {
    const auto parent = parent_text(path);
    if (!parent) return std::unexpected(parent.error());
    auto real_parent = real_path(*parent);
    if (!real_parent) {
        return std::unexpected(std::move(real_parent.error()));
    }
    auto opened = open_below(*real_parent, path_file_name(path));
    if (!opened) return std::unexpected(std::move(opened.error()));
    return ParentHandle(std::move(opened->path), std::move(opened->name), std::move(opened->fd));
}

std::expected<ParentHandle, IoError> open_real_parent(std::string_view real_path) {
    const auto parent = parent_text(real_path);
    if (!parent) return std::unexpected(parent.error());
    auto opened = open_below(*parent, path_file_name(real_path));
    if (!opened) return std::unexpected(std::move(opened.error()));
    return ParentHandle(std::move(opened->path), std::move(opened->name), std::move(opened->fd));
}

std::expected<void, IoError> check_authorized_identity(const ParentHandle& handle,
                                                       const FileIdentity& authorized) {
    auto current = identity_at(handle.parent_fd(), handle.name());
    if (!current) {
        return std::unexpected(std::move(current.error()));
    }
    if (*current != authorized) {
        return other(kItemChanged);
    }
    // The parent path must still lead to the folder we hold: a parent moved away or
    // replaced after the handle was opened would make the path lie about the target.
    const std::string parent = path_parent(handle.path()).value_or(std::string());
    const auto by_path = platform::status_of_path(parent, platform::FollowFinalLink::yes);
    if (!by_path) {
        return std::unexpected(IoError::os(by_path.error()));
    }
    const auto by_fd = platform::status_of_fd(handle.parent_fd());
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
    if (auto hook = before_unlink_hook.load()) hook();
    const int dir = handle.parent_fd();
    if (kind == UnlinkAs::Directory) {
        // Only an empty folder goes, so a folder swapped in meanwhile loses nothing.
        if (::unlinkat(dir, handle.name().c_str(), AT_REMOVEDIR) != 0) {
            return std::unexpected(IoError::os(errno));
        }
        return {};
    }
    // Editors and build tools save by renaming a new file over the name; moving the entry
    // to a name of our own first means the one checked is the one removed.
    const auto suffix = platform::random_hex(8);
    if (!suffix) {
        return std::unexpected(IoError::os(suffix.error()));
    }
    const std::string aside = std::string(kRemovingPrefix) + *suffix;
    if (auto moved = platform::rename_no_replace(dir, handle.name().c_str(), dir, aside.c_str());
        !moved) {
        if (moved.error() != EINVAL) {
            return std::unexpected(IoError::os(moved.error()));
        }
        if (::unlinkat(dir, handle.name().c_str(), 0) != 0) {
            return std::unexpected(IoError::os(errno));
        }
        return {};
    }
    const auto found = identity_at(dir, aside);
    if (found && *found == authorized) {
        if (::unlinkat(dir, aside.c_str(), 0) != 0) {
            const int error = errno;
            // Put it back so a failed removal leaves the item where the user had it.
            (void)platform::rename_no_replace(dir, aside.c_str(), dir, handle.name().c_str());
            return std::unexpected(IoError::os(error));
        }
        return {};
    }
    if (auto back = platform::rename_no_replace(dir, aside.c_str(), dir, handle.name().c_str());
        !back) {
        return other(std::string(kItemChangedKeptAs) + aside);
    }
    return other(kItemChanged);
}

void set_before_unlink_hook_for_testing(void (*hook)()) {
    before_unlink_hook.store(hook);
}

}  // namespace bramvelt::filesystem
