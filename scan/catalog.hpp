#pragma once
// The on-disk store of the files that largest-only retention leaves out of the tree: a
// private folder owned by the caller, held open so that every catalog file is made and
// read relative to it and a swapped path component cannot redirect a write. The engine
// needs the folder's identity (the store is never scanned itself) and the first recorded
// failure, which also stops the scan.

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/cancel_flag.hpp"
#include "platform/fd.hpp"

namespace bramvelt::scan {

// One scan's catalog, shared by the session, the driver, the walkers and every retainer.
// The destructor closes the folder descriptor and removes nothing.
class ScanCatalog {
  public:
    ScanCatalog(std::string folder, platform::Fd folder_fd, std::uint64_t device,
                std::uint64_t inode, CancelFlag cancel);
    ScanCatalog(const ScanCatalog&) = delete;
    ScanCatalog& operator=(const ScanCatalog&) = delete;

    const std::string& folder() const { return folder_; }
    int folder_fd() const { return folder_fd_.get(); }
    std::uint64_t device() const { return device_; }
    std::uint64_t inode() const { return inode_; }
    const CancelFlag& cancel() const { return cancel_; }

    // Keeps the first failure only, as "Compact scan catalog failed: " and its text, and
    // stops the scan on every call.
    void record_error(std::string_view failure);
    std::optional<std::string> first_error() const;
    // Whether a failure was recorded; cheap enough to ask for every omitted file.
    bool failed() const { return failed_.load(std::memory_order_acquire); }

  private:
    std::string folder_;
    platform::Fd folder_fd_;
    std::uint64_t device_;
    std::uint64_t inode_;
    CancelFlag cancel_;
    mutable std::mutex mutex_;
    std::optional<std::string> first_error_;
    std::atomic<bool> failed_{false};
};

// Opens an existing catalog folder for one scan. The path must be absolute and hold no
// symbolic link; the folder must belong to this account and grant nothing to group or
// others, since whoever can write into it could swap the files the catalog reads back.
std::expected<std::shared_ptr<ScanCatalog>, std::string> open_scan_catalog(std::string_view folder,
                                                                           CancelFlag cancel);

void record_catalog_error(ScanCatalog& catalog, std::string_view failure);
std::optional<std::string> catalog_first_error(const ScanCatalog& catalog);

// The 32 lowercase hexadecimal digits that name a directory's catalog files: two 64-bit
// FNV hashes of the path's bytes.
std::string catalog_directory_key(std::string_view directory);

}  // namespace bramvelt::scan
