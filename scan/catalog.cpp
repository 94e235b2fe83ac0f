#include "scan/catalog.hpp"

#include <fcntl.h>

#include <cerrno>

#include "platform/file_status.hpp"
#include "platform/nofollow_open.hpp"
#include "platform/os_error.hpp"
#include "platform/ownership.hpp"
#include "scan/catalog_file.hpp"

namespace bramvelt::scan {
namespace {

bool is_link(std::string_view path) {
    const auto st = platform::status_of_path(path, platform::FollowFinalLink::no);
    return st && st->is_symlink();
}

}  // namespace

ScanCatalog::ScanCatalog(std::string folder, platform::Fd folder_fd, std::uint64_t device,
                         std::uint64_t inode, CancelFlag cancel)
    : folder_(std::move(folder)),
      folder_fd_(std::move(folder_fd)),
      device_(device),
      inode_(inode),
      cancel_(std::move(cancel)) {}

void ScanCatalog::record_error(std::string_view failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!first_error_) {
        first_error_ = std::string("Compact scan catalog failed: ").append(failure);
        failed_.store(true, std::memory_order_release);
    }
    if (cancel_) cancel_->store(true);
}

std::optional<std::string> ScanCatalog::first_error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_error_;
}

std::expected<std::shared_ptr<ScanCatalog>, std::string> open_scan_catalog(std::string_view folder,
                                                                           CancelFlag cancel) {
    auto fd = platform::open_nofollow_any(folder, O_RDONLY | O_DIRECTORY);
    if (!fd) {
        // With O_DIRECTORY a link in the last place may also show as "not a directory".
        if (fd.error() == ELOOP || (fd.error() == ENOTDIR && is_link(folder))) {
            return std::unexpected(std::string(kCatalogLinkText));
        }
        return std::unexpected(platform::os_error_text(fd.error()));
    }
    const auto st = platform::status_of_fd(fd->get());
    if (!st) return std::unexpected(platform::os_error_text(st.error()));
    if ((st->mode & 077) != 0) return std::unexpected(std::string(kCatalogPrivateText));
    const auto ours = platform::owned_by_this_account(fd->get());
    if (!ours) return std::unexpected(platform::os_error_text(ours.error()));
    if (!*ours) return std::unexpected(std::string(kCatalogPrivateText));
    return std::make_shared<ScanCatalog>(std::string(folder), std::move(*fd), st->device, st->inode,
                                         std::move(cancel));
}

void record_catalog_error(ScanCatalog& catalog, std::string_view failure) {
    catalog.record_error(failure);
}

std::optional<std::string> catalog_first_error(const ScanCatalog& catalog) {
    return catalog.first_error();
}

std::string catalog_directory_key(std::string_view directory) {
    constexpr std::uint64_t prime = 0x100000001B3ULL;
    std::uint64_t h1 = 0xCBF29CE484222325ULL;
    std::uint64_t h2 = 0x84222325CBF29CE4ULL;
    for (const char c : directory) {
        const auto byte = static_cast<std::uint64_t>(static_cast<unsigned char>(c));
        h1 = (h1 ^ byte) * prime;
        h2 = (h2 ^ (byte + 1)) * prime;
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string key(32, '0');
    for (int i = 0; i < 16; ++i) {
        key[15 - i] = hex[(h1 >> (4 * i)) & 0xF];
        key[31 - i] = hex[(h2 >> (4 * i)) & 0xF];
    }
    return key;
}

}  // namespace bramvelt::scan
