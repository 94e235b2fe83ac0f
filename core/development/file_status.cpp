#include "core/development/file_status.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <limits>

#include "platform/mount_point.hpp"

namespace bramvelt::development {

std::uint64_t EntryStatus::allocated_bytes() const {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return blocks > max / 512 ? max : blocks * 512;
}

namespace {

EntryStatus from_stat(const struct stat& s) {
    EntryStatus st;
    if (S_ISDIR(s.st_mode)) {
        st.type = EntryType::Directory;
    } else if (S_ISREG(s.st_mode)) {
        st.type = EntryType::Regular;
    } else if (S_ISLNK(s.st_mode)) {
        st.type = EntryType::Symlink;
    }
    st.device = s.st_dev;
    st.inode = s.st_ino;
    st.links = s.st_nlink;
    st.blocks = s.st_blocks < 0 ? 0 : static_cast<std::uint64_t>(s.st_blocks);
    st.modified = FileTime{s.st_mtim.tv_sec, static_cast<std::uint32_t>(s.st_mtim.tv_nsec)};
    st.accessed = FileTime{s.st_atim.tv_sec, static_cast<std::uint32_t>(s.st_atim.tv_nsec)};
    return st;
}

}  // namespace

std::optional<EntryStatus> status_nofollow(const std::string& path) {
    struct stat s {};
    if (::lstat(path.c_str(), &s) != 0) {
        return std::nullopt;
    }
    return from_stat(s);
}

std::optional<EntryStatus> status_follow(const std::string& path) {
    struct stat s {};
    if (::stat(path.c_str(), &s) != 0) {
        return std::nullopt;
    }
    return from_stat(s);
}

std::optional<EntryStatus> status_nofollow_at(int dirfd, const char* name) {
    struct stat s {};
    if (::fstatat(dirfd, name, &s, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    return from_stat(s);
}

std::optional<EntryStatus> status_follow_at(int dirfd, const char* name) {
    struct stat s {};
    if (::fstatat(dirfd, name, &s, 0) != 0) {
        return std::nullopt;
    }
    return from_stat(s);
}

bool on_other_file_system(const std::string& path, const EntryStatus& child, dev_t parent_device) {
    if (child.device != parent_device) {
        return true;
    }
    return child.is_dir() && platform::statx_mount_root(path).value_or(false);
}

bool on_other_file_system_at(int dirfd, const char* name, const EntryStatus& child,
                             dev_t parent_device) {
    if (child.device != parent_device) {
        return true;
    }
    return child.is_dir() && platform::statx_mount_root_at(dirfd, name).value_or(false);
}

}  // namespace bramvelt::development
