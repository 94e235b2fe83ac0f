#pragma once
// Raw entries of an open directory through getdents64, in batches, for the scan. Nothing
// here re-opens a directory by path; entry status comes from file_status.hpp.

#include <cstdint>
#include <expected>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/fd.hpp"
#include "platform/file_status.hpp"

namespace bramvelt::platform {

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
    static constexpr std::size_t kBufferSize = 32 * 1024;
    // The error a malformed record yields.
    static constexpr int kMalformedRecord = EBADMSG;

    explicit DirEntryReader(Fd fd);
    DirEntryReader(DirEntryReader&&) noexcept = default;
    DirEntryReader& operator=(DirEntryReader&&) noexcept = default;

    int fd() const { return fd_.get(); }
    // The descriptor, for work relative to the directory once its entries are read; the
    // reader is empty afterwards.
    Fd take_fd() {
        entries_.clear();
        return std::move(fd_);
    }
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
