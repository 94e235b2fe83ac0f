#pragma once
// The Linux side of directory listing for the scan: entry status through statx (never
// following a final link unless asked), and raw entries of an open directory through
// getdents64 in batches. Nothing here re-opens a directory by path.

#include <sys/stat.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/fd.hpp"

namespace bramvelt::platform {

// What the scan needs of one entry's metadata.
struct EntryStatus {
    std::uint32_t mode = 0;  // type and permission bits
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t link_count = 0;
    std::uint64_t blocks = 0;  // 512-byte units
    std::int64_t mtime_seconds = 0;
    std::int32_t mtime_nanoseconds = 0;
    std::int64_t atime_seconds = 0;
    std::int32_t atime_nanoseconds = 0;
    bool mount_root = false;  // the root of a mount (bind mounts included)
    std::uint32_t flags = 0;  // file_flags() of the entry

    bool is_directory() const { return S_ISDIR(mode); }
    bool is_symlink() const { return S_ISLNK(mode); }
};

// statx of `name` relative to `dirfd` (AT_FDCWD for a path); a final link is followed
// only when `follow` is set. Automounts are never triggered. The error is errno.
std::expected<EntryStatus, int> status_at(int dirfd, const char* name, bool follow);

// statx of an open descriptor.
std::expected<EntryStatus, int> status_of_fd(int fd);

// One raw entry of a batch; `name` points into the reader's buffer and is valid until
// the next read.
struct RawDirEntry {
    std::string_view name;   // NUL-terminated in the buffer
    unsigned char type = 0;  // DT_* value; DT_UNKNOWN when the file system does not say
};

// Reads an open directory with getdents64. "." and ".." are left out. Owns the
// descriptor and closes it on destruction.
class DirEntryReader {
  public:
    static constexpr std::size_t BUFFER_SIZE = 32 * 1024;
    // The error a malformed record yields.
    static constexpr int MALFORMED_RECORD = EBADMSG;

    explicit DirEntryReader(Fd fd);
    DirEntryReader(DirEntryReader&&) noexcept = default;
    DirEntryReader& operator=(DirEntryReader&&) noexcept = default;

    int fd() const { return fd_.get(); }
    // Replaces the batch by the next one; 0 entries means the end. A batch that yields
    // only "." and ".." is skipped over, so 0 is only returned at the real end.
    std::expected<std::size_t, int> read_batch();
    const std::vector<RawDirEntry>& entries() const { return entries_; }

  private:
    Fd fd_;
    std::unique_ptr<char[]> buffer_;
    std::vector<RawDirEntry> entries_;
    bool read_once_ = false;
};

// Test seam: while set (non-zero), every getdents64 read after a reader's first batch
// fails with this error, as on a failing disk or a broken network mount.
void fail_later_directory_reads_for_testing(int error);

}  // namespace bramvelt::platform
