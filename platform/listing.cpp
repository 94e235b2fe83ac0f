#include "platform/listing.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/file_flags.hpp"

namespace bramvelt::platform {
namespace {

std::atomic<int> injected_read_error{0};

// A getdents64 record: 8-byte inode, 8-byte offset, 2-byte length, 1-byte type, name.
constexpr std::size_t kLengthOffset = 16;
constexpr std::size_t kTypeOffset = 18;
constexpr std::size_t kNameOffset = 19;

}  // namespace

void fail_later_directory_reads_for_testing(int error) {
    injected_read_error.store(error);
}

DirEntryReader::DirEntryReader(Fd fd)
    : fd_(std::move(fd)), buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)) {}

std::expected<std::size_t, int> DirEntryReader::read_batch() {
    entries_.clear();
    if (read_once_) {
        if (const int error = injected_read_error.load(std::memory_order_relaxed); error != 0) {
            return std::unexpected(error);
        }
    }
    read_once_ = true;
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd_.get(), buffer_.get(), kBufferSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(errno);
        }
        if (n == 0) return 0;
        const auto size = static_cast<std::size_t>(n);
        if (size > kBufferSize) return std::unexpected(kMalformedRecord);
        std::size_t pos = 0;
        while (pos < size) {
            if (size - pos < kNameOffset + 1) return std::unexpected(kMalformedRecord);
            unsigned short reclen = 0;
            std::memcpy(&reclen, buffer_.get() + pos + kLengthOffset, sizeof reclen);
            const auto type = static_cast<unsigned char>(buffer_[pos + kTypeOffset]);
            if (reclen < kNameOffset + 1 || reclen > size - pos) {
                return std::unexpected(kMalformedRecord);
            }
            const char* name = buffer_.get() + pos + kNameOffset;
            const std::size_t room = reclen - kNameOffset;
            const void* nul = std::memchr(name, '\0', room);
            if (nul == nullptr) return std::unexpected(kMalformedRecord);
            const std::string_view view(
                name, static_cast<std::size_t>(static_cast<const char*>(nul) - name));
            if (view.empty() || view.find('/') != std::string_view::npos) {
                return std::unexpected(kMalformedRecord);
            }
            if (view != "." && view != "..") {
                entries_.push_back({view, type});
            }
            pos += reclen;
        }
        if (!entries_.empty()) return entries_.size();
    }
}

}  // namespace bramvelt::platform
