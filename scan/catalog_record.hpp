#pragma once
// One omitted file as the catalog stores it: the file's node and, with a catalog
// attached, its identity as listed. Records are kept in one order everywhere (largest
// first, then path bytes ascending) so that runs merge into a sorted data file.
//
// Layout, numbers little-endian: path length (4), path, size (8), file count (8), time
// flag (1), time (8), readable (1), identity flag (1), then with the identity: device (8),
// inode (16, low half first), link count (8), allocated size (8).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "scan/catalog_file.hpp"
#include "scan/tree.hpp"

namespace bramvelt::scan {

using CatalogInode = unsigned __int128;

// A file's identity as listed, taken only when a catalog is attached.
struct CatalogIdentity {
    CatalogInode inode = 0;
    std::uint64_t device = 0;
    std::uint64_t link_count = 0;
    std::uint64_t allocated_size = 0;  // before the hard-link rule
    bool operator==(const CatalogIdentity&) const = default;
};

// A file node with its optional identity.
struct RetainedChild {
    TreeNode node;
    std::optional<CatalogIdentity> identity;
};

// Record order: larger sizes first (signed), equal sizes by path bytes ascending.
bool catalog_record_precedes(const TreeNode& a, const TreeNode& b);

// The record's length in bytes.
std::uint64_t catalog_record_length(const RetainedChild& record);

// Writes one record; a path over 65,536 bytes fails with "Catalog text exceeds capacity".
CatalogResult<void> encode_catalog_record(CatalogOutput& out, const RetainedChild& record);

// The next record, or nothing at the clean end of the input. `consumed` receives the
// record's length in bytes.
CatalogResult<std::optional<RetainedChild>> read_catalog_record(CatalogInput& in,
                                                                std::uint64_t& consumed);

// A plain, complete file directly inside `directory` (paths compared by components);
// otherwise "Invalid catalog file record".
CatalogResult<void> validate_catalog_record(const TreeNode& node, std::string_view directory);

}  // namespace bramvelt::scan
