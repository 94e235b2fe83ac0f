#include "scan/catalog_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/os_error.hpp"

namespace bramvelt::scan {
namespace {

std::unexpected<std::string> os_failure(int error) {
    return std::unexpected(platform::os_error_text(error));
}

}  // namespace

CatalogResult<platform::Fd> create_catalog_file(int folder_fd, const std::string& name) {
    int fd;
    do {
        fd = ::openat(folder_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return os_failure(errno);
    platform::Fd owned(fd);
    // A restrictive umask must not leave us a file we cannot read back.
    if (::fchmod(owned.get(), 0600) != 0) return os_failure(errno);
    return owned;
}

CatalogResult<void> write_catalog_bytes(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return os_failure(errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

CatalogResult<void> append_catalog_text(std::string& out, std::string_view text) {
    if (text.size() > kCatalogTextCapacity) {
        return std::unexpected(std::string(kCatalogTextCapacityText));
    }
    const auto n = static_cast<std::uint32_t>(text.size());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    out.append(text);
    return {};
}

CatalogOutput::CatalogOutput(platform::Fd fd)
    : fd_(std::move(fd)),
      writer_(std::make_unique<platform::FdWriter>(fd_.get(), kCatalogIoBuffer)) {}

CatalogResult<CatalogOutput> CatalogOutput::create(int folder_fd, const std::string& name) {
    auto fd = create_catalog_file(folder_fd, name);
    if (!fd) return std::unexpected(std::move(fd.error()));
    return CatalogOutput(std::move(*fd));
}

CatalogResult<void> CatalogOutput::failure() const {
    return std::unexpected(platform::os_error_text(writer_->error_number()));
}

CatalogResult<void> CatalogOutput::write(std::string_view bytes) {
    if (!writer_->write(bytes)) return failure();
    return {};
}

CatalogResult<void> CatalogOutput::flush() {
    if (!writer_->flush()) return failure();
    return {};
}

CatalogInput::CatalogInput(platform::Fd fd, std::uint64_t size)
    : fd_(std::move(fd)), file_size_(size), buffer_(kCatalogIoBuffer) {}

CatalogResult<CatalogInput> CatalogInput::open(int folder_fd, const std::string& name) {
    struct stat st {};
    if (::fstatat(folder_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return os_failure(errno);
    if (S_ISLNK(st.st_mode)) return std::unexpected(std::string(kCatalogLinkText));
    int fd;
    // Non-blocking so that a pipe put in the file's place cannot stall the open; the
    // regular-file check below refuses it.
    do {
        fd = ::openat(folder_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return os_failure(errno);
    platform::Fd owned(fd);
    if (::fstat(owned.get(), &st) != 0) return os_failure(errno);
    if (!S_ISREG(st.st_mode)) return std::unexpected(std::string(kCatalogNotRegularText));
    if ((st.st_mode & 077) != 0 || st.st_nlink != 1 || st.st_uid != ::geteuid()) {
        return std::unexpected(std::string(kCatalogPrivateText));
    }
    return CatalogInput(std::move(owned), static_cast<std::uint64_t>(st.st_size));
}

CatalogResult<bool> CatalogInput::refill() {
    begin_ = 0;
    end_ = 0;
    for (;;) {
        const ssize_t n = ::read(fd_.get(), buffer_.data(), buffer_.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return os_failure(errno);
        }
        end_ = static_cast<std::size_t>(n);
        return n > 0;
    }
}

CatalogResult<void> CatalogInput::read_exact(std::span<char> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        if (begin_ == end_) {
            auto more = refill();
            if (!more) return std::unexpected(std::move(more.error()));
            if (!*more) return std::unexpected(std::string(kCatalogShortReadText));
        }
        const std::size_t n = std::min(out.size() - done, end_ - begin_);
        std::memcpy(out.data() + done, buffer_.data() + begin_, n);
        begin_ += n;
        done += n;
    }
    return {};
}

CatalogResult<bool> CatalogInput::read_byte(char& out) {
    if (begin_ == end_) {
        auto more = refill();
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) return false;
    }
    out = buffer_[begin_++];
    return true;
}

std::string catalog_binding_name(std::string_view key) {
    return fmt::format("{}.binding", key);
}
std::string catalog_run_name(std::string_view key, std::uint64_t run) {
    return fmt::format("{}.run.{}", key, run);
}
std::string catalog_data_name(std::string_view key) {
    return fmt::format("{}.data", key);
}
std::string catalog_pending_name(std::string_view key) {
    return fmt::format("{}.pending", key);
}
std::string catalog_index_name(std::string_view key) {
    return fmt::format("{}.index", key);
}

}  // namespace bramvelt::scan
