#pragma once
// The on-disk store of the files that largest-only retention leaves out of the tree.
// The engine itself needs only the store's folder identity (the store is never scanned)
// and its first recorded error; writing the store is the catalog's own business.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/cancel_flag.hpp"

namespace bramvelt::scan {

class ScanCatalog {
  public:
    ScanCatalog(std::string folder, std::uint64_t device, std::uint64_t inode, CancelFlag cancel)
        : folder_(std::move(folder)), device_(device), inode_(inode), cancel_(std::move(cancel)) {}

    const std::string& folder() const { return folder_; }
    std::uint64_t device() const { return device_; }
    std::uint64_t inode() const { return inode_; }
    const CancelFlag& cancel() const { return cancel_; }

    // Keeps the first failure only, and stops the scan.
    void record_error(std::string text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!first_error_) first_error_ = std::move(text);
        if (cancel_) cancel_->store(true);
    }
    std::optional<std::string> first_error() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return first_error_;
    }

  private:
    std::string folder_;
    std::uint64_t device_;
    std::uint64_t inode_;
    CancelFlag cancel_;
    mutable std::mutex mutex_;
    std::optional<std::string> first_error_;
};

}  // namespace bramvelt::scan
