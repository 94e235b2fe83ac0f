#include "core/filesystem/reserved_dir.hpp"

// Creating folders, files and links relative to a checked descriptor is this file's
// subject: mkdirat, symlinkat and the flags of the exclusive open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/filesystem/byte_path.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "core/filesystem/real_path.hpp"
#include "platform/duplicate_fd.hpp"
#include "platform/io.hpp"

namespace bramvelt::filesystem {
namespace {

std::unexpected<IoError> other(std::string_view message) {
    return std::unexpected(IoError::other(std::string(message)));
}

std::unexpected<IoError> os_error(int error_number) {
    return std::unexpected(IoError::os(error_number));
}

bool same_object(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode;
}

// The shared first steps of the creators: the parent folder opened and the final name.
struct CreationSite {
    platform::Fd parent;
    std::string name;
    RelativePath relative;
};

std::expected<CreationSite, IoError> creation_site(const ReservedDir& dir,
                                                   std::string_view target) {
    auto relative = backup_relative_path(dir, target);
    if (!relative) {
        return std::unexpected(std::move(relative.error()));
    }
    if (relative->empty()) {
        return other(kMissingBackupFilename);
    }
    const RelativePath parents(relative->begin(), relative->end() - 1);
    auto parent = open_dir_chain(dir.fd.get(), parents, MissingFolders::Fail);
    if (!parent) {
        return std::unexpected(std::move(parent.error()));
    }
    std::string name = relative->back();
    if (name.find('\0') != std::string::npos) {
        return other(kNulInFilename);
    }
    return CreationSite{std::move(*parent), std::move(name), std::move(*relative)};
}

}  // namespace

std::expected<ReservedDir, IoError> open_reserved_dir(std::string path) {
    auto identity = read_identity(path);
    if (!identity) {
        return std::unexpected(std::move(identity.error()));
    }
    std::expected<platform::Fd, IoError> fd = [&]() -> std::expected<platform::Fd, IoError> {
        auto handle = open_parent_dir(path);
        if (!handle) {
            return std::unexpected(std::move(handle.error()));
        }
        return open_verified_dir(*handle, *identity);
    }();
    if (!fd) {
        return std::unexpected(std::move(fd.error()));
    }
    return ReservedDir{std::move(*identity), std::move(path), std::move(*fd)};
}

std::expected<void, IoError> check_reserved_dir(const ReservedDir& dir) {
    auto by_path = read_identity(dir.path);
    if (!by_path) {
        return std::unexpected(std::move(by_path.error()));
    }
    auto by_fd = identity_of_fd(dir.fd.get());
    if (!by_fd) {
        return std::unexpected(std::move(by_fd.error()));
    }
    if (by_path->kind != "directory" || !same_object(*by_path, dir.identity) ||
        !same_object(*by_path, *by_fd)) {
        return other(kBackupDirChanged);
    }
    auto real = real_path(dir.path);
    if (!real) {
        return std::unexpected(std::move(real.error()));
    }
    if (!paths_equal(*real, dir.path)) {
        return other(kBackupDirChanged);
    }
    return {};
}

std::expected<RelativePath, IoError> backup_relative_path(const ReservedDir& dir,
                                                          std::string_view target) {
    if (auto checked = check_reserved_dir(dir); !checked) {
        return std::unexpected(std::move(checked.error()));
    }
    auto rest = strip_path_prefix(target, dir.path);
    if (!rest) {
        return other(kBackupPathEscaped);
    }
    RelativePath relative;
    for (const Component& component : *rest) {
        if (component.kind != ComponentKind::Normal) {
            return other(kInvalidRelativeBackupPath);
        }
        relative.emplace_back(component.text);
    }
    return relative;
}

std::expected<platform::Fd, IoError> open_dir_chain(int dir_fd, const RelativePath& relative,
                                                    MissingFolders missing) {
    // openat would take "..", "" or "a/b" as a walk of its own, past the no-follow check
    // of each step: only plain names are ever opened here, and a bad one stops the walk
    // before anything is created.
    for (const std::string& name : relative) {
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
            return other(kInvalidRelativeBackupPath);
        }
    }
    auto duplicate = platform::duplicate_fd(dir_fd);
    if (!duplicate) {
        return os_error(duplicate.error());
    }
    platform::Fd current = std::move(*duplicate);
    for (const std::string& name : relative) {
        if (name.find('\0') != std::string::npos) {
            return other(kNulInBackupFilename);
        }
        if (missing == MissingFolders::Create &&
            ::mkdirat(current.get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
            return os_error(errno);
        }
        auto next =
            platform::open_directory_at(current.get(), name.c_str(), platform::FollowFinalLink::no);
        if (!next) {
            return os_error(next.error());
        }
        current = std::move(*next);
    }
    return current;
}

std::expected<void, IoError> create_backup_parents(const ReservedDir& dir,
                                                   std::string_view target) {
    auto relative = backup_relative_path(dir, target);
    if (!relative) {
        return std::unexpected(std::move(relative.error()));
    }
    if (!relative->empty()) relative->pop_back();
    if (auto chain = open_dir_chain(dir.fd.get(), *relative, MissingFolders::Create); !chain) {
        return std::unexpected(std::move(chain.error()));
    }
    return check_reserved_dir(dir);
}

std::expected<platform::Fd, IoError> create_backup_dir(const ReservedDir& dir,
                                                       std::string_view target) {
    auto site = creation_site(dir, target);
    if (!site) {
        return std::unexpected(std::move(site.error()));
    }
    if (::mkdirat(site->parent.get(), site->name.c_str(), 0700) != 0) {
        return os_error(errno);
    }
    return open_dir_chain(dir.fd.get(), site->relative, MissingFolders::Fail);
}

std::expected<platform::Fd, IoError> create_backup_file(const ReservedDir& dir,
                                                        std::string_view target) {
    auto site = creation_site(dir, target);
    if (!site) {
        return std::unexpected(std::move(site.error()));
    }
    auto fd = platform::open_at(site->parent.get(), site->name.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (!fd) {
        return os_error(fd.error());
    }
    return std::move(*fd);
}

std::expected<void, IoError> create_backup_symlink(const ReservedDir& dir,
                                                   std::string_view link_text,
                                                   std::string_view target) {
    auto site = creation_site(dir, target);
    if (!site) {
        return std::unexpected(std::move(site.error()));
    }
    if (link_text.find('\0') != std::string_view::npos) {
        return other(kNulInSymlink);
    }
    const std::string text(link_text);
    if (::symlinkat(text.c_str(), site->parent.get(), site->name.c_str()) != 0) {
        return os_error(errno);
    }
    return {};
}

}  // namespace bramvelt::filesystem
