#include "core/development/file_status.hpp"

#include <sys/stat.h>

#include <limits>

#include "platform/listing.hpp"
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
    // One statx answers both the status and the mount-root question.
    const auto sx = platform::status_at(dirfd, name, platform::FollowFinalLink::no);
    if (!sx) {
        return std::nullopt;
    }
    EntryStatus st;
    if (S_ISDIR(sx->mode)) {
        st.type = EntryType::Directory;
    } else if (S_ISREG(sx->mode)) {
        st.type = EntryType::Regular;
    } else if (S_ISLNK(sx->mode)) {
        st.type = EntryType::Symlink;
    }
    st.device = static_cast<dev_t>(sx->device);
    st.inode = static_cast<ino_t>(sx->inode);
    st.links = sx->link_count;
    st.blocks = sx->blocks;
    st.modified = FileTime{sx->mtime_seconds, static_cast<std::uint32_t>(sx->mtime_nanoseconds)};
    st.accessed = FileTime{sx->atime_seconds, static_cast<std::uint32_t>(sx->atime_nanoseconds)};
    st.mount_root = sx->mount_root;
    return st;
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
    if (!child.is_dir()) {
        return false;
    }
    if (child.mount_root) {
        return *child.mount_root;
    }
    return platform::statx_mount_root_at(dirfd, name).value_or(false);
}

}  // namespace bramvelt::development
