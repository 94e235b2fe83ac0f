#include "scan/catalog_file.hpp"

#include <fcntl.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "platform/file_status.hpp"
#include "platform/io.hpp"
#include "platform/os_error.hpp"
#include "platform/ownership.hpp"

namespace bramvelt::scan {
namespace {

std::unexpected<std::string> os_failure(int error) {
    return std::unexpected(platform::os_error_text(error));
}

}  // namespace

CatalogResult<platform::Fd> create_catalog_file(int folder_fd, const std::string& name) {
    auto fd =
        platform::open_at(folder_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (!fd) return os_failure(fd.error());
    // A restrictive umask must not leave us a file we cannot read back.
    if (auto made = platform::make_private(fd->get()); !made) return os_failure(made.error());
    return std::move(*fd);
}

CatalogResult<void> write_catalog_bytes(int fd, std::string_view bytes) {
    if (auto written = platform::write_all(fd, bytes); !written) return os_failure(written.error());
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
    const auto named = platform::status_at(folder_fd, name.c_str(), platform::FollowFinalLink::no);
    if (!named) return os_failure(named.error());
    if (named->is_symlink()) return std::unexpected(std::string(kCatalogLinkText));
    // Non-blocking so that a pipe put in the file's place cannot stall the open; the
    // regular-file check below refuses it.
    auto fd = platform::open_at(folder_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (!fd) return os_failure(fd.error());
    const auto st = platform::status_of_fd(fd->get());
    if (!st) return os_failure(st.error());
    if (!st->is_regular()) return std::unexpected(std::string(kCatalogNotRegularText));
    if ((st->mode & 077) != 0 || st->link_count != 1) {
        return std::unexpected(std::string(kCatalogPrivateText));
    }
    const auto ours = platform::owned_by_this_account(fd->get());
    if (!ours) return os_failure(ours.error());
    if (!*ours) return std::unexpected(std::string(kCatalogPrivateText));
    return CatalogInput(std::move(*fd), static_cast<std::uint64_t>(st->size));
}

CatalogResult<bool> CatalogInput::refill() {
    begin_ = 0;
    end_ = 0;
    const auto n = platform::read_some(fd_.get(), buffer_);
    if (!n) return os_failure(n.error());
    end_ = *n;
    return *n > 0;
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
