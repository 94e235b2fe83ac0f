#pragma once
// The files of a catalog folder, always addressed by name relative to the folder's open
// descriptor. New files are created exclusively, private, never through a link; files
// read back must still be private, unlinked elsewhere and ours, since anything else means
// someone else has been at the folder.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd.hpp"
#include "platform/writer.hpp"

namespace bramvelt::scan {

// A failure carries its text: the system's for a failed call, else the catalog's own.
template <typename T>
using CatalogResult = std::expected<T, std::string>;

inline constexpr std::size_t kCatalogIoBuffer = 8192;
// The longest text (path) a catalog file holds.
inline constexpr std::size_t kCatalogTextCapacity = 65536;

inline constexpr std::string_view kCatalogLinkText = "Catalog files must not be links";
inline constexpr std::string_view kCatalogNotRegularText = "Catalog storage is not a regular file";
inline constexpr std::string_view kCatalogPrivateText =
    "Catalog storage must be private and owned by this account";
inline constexpr std::string_view kCatalogShortReadText = "failed to fill whole buffer";
inline constexpr std::string_view kCatalogTextCapacityText = "Catalog text exceeds capacity";

// Creates `name` in the folder: write-only, exclusive, not through a link, mode 0600.
CatalogResult<platform::Fd> create_catalog_file(int folder_fd, const std::string& name);

// Writes all bytes straight to the descriptor.
CatalogResult<void> write_catalog_bytes(int fd, std::string_view bytes);

// A 4-byte little-endian length, then the bytes; longer than the capacity fails.
CatalogResult<void> append_catalog_text(std::string& out, std::string_view text);

// A newly created catalog file written through an 8 KiB buffer. Dropping it without
// flush() may leave buffered bytes behind; callers flush on success.
class CatalogOutput {
  public:
    static CatalogResult<CatalogOutput> create(int folder_fd, const std::string& name);
    CatalogResult<void> write(std::string_view bytes);
    CatalogResult<void> flush();

  private:
    CatalogOutput(platform::Fd fd);
    CatalogResult<void> failure() const;
    platform::Fd fd_;
    std::unique_ptr<platform::FdWriter> writer_;  // destroyed before fd_ closes
};

// A catalog file opened for reading (open_catalog_file), read through an 8 KiB buffer.
class CatalogInput {
  public:
    // Refuses a link, anything but a regular file, and a file that is not private to
    // this account or has another name.
    static CatalogResult<CatalogInput> open(int folder_fd, const std::string& name);

    std::uint64_t file_size() const { return file_size_; }
    // Fills `out` completely; an input that ends first fails with
    // "failed to fill whole buffer".
    CatalogResult<void> read_exact(std::span<char> out);
    // One byte, or false at the end of the input.
    CatalogResult<bool> read_byte(char& out);

  private:
    CatalogInput(platform::Fd fd, std::uint64_t size);
    CatalogResult<bool> refill();
    platform::Fd fd_;
    std::uint64_t file_size_ = 0;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// K.binding, K.run.N, K.data, K.pending, K.index.
std::string catalog_binding_name(std::string_view key);
std::string catalog_run_name(std::string_view key, std::uint64_t run);
std::string catalog_data_name(std::string_view key);
std::string catalog_pending_name(std::string_view key);
std::string catalog_index_name(std::string_view key);

}  // namespace bramvelt::scan
