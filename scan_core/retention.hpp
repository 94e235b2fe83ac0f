#pragma once
// Which files of a directory become nodes. The walker hands every file node to
// retain_or_spill_child and, once the listing has ended, the retainer to
// finish_directory_catalog. Under KeepAll every file is kept and nothing else happens;
// largest-only retention and the omitted-file catalog plug in behind these two calls.

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "scan_core/catalog.hpp"
#include "scan_core/options.hpp"
#include "scan_core/tree.hpp"

namespace bramvelt::scan {

class ScanSession;

// The identity of a file as listed, kept with an omitted file's catalog record.
struct CatalogIdentity {
    std::uint64_t inode = 0;
    std::uint64_t device = 0;
    std::uint64_t link_count = 0;
    std::uint64_t allocated_size = 0;  // before the hard-link rule
};

// The retention state of one directory being walked; owned by the walking thread.
struct ChildRetainer {
    ChildRetainer(const ScanSession& session, std::string_view directory);

    ChildRetention retention;
    std::string_view directory;  // outlives the retainer (the walker's own path)
    std::uint64_t omitted_bytes = 0;
    std::uint64_t omitted_files = 0;
    std::shared_ptr<ScanCatalog> catalog;

    bool keeps_all() const { return std::holds_alternative<KeepAll>(retention); }
    // Whether file nodes need their catalog identity (only with a catalog attached).
    bool wants_identity() const { return catalog != nullptr; }
};

// Called once per file node, after its bytes were counted into the directory's totals.
void retain_or_spill_child(ChildRetainer& retainer, TreeNode child,
                           std::optional<CatalogIdentity> identity,
                           std::vector<TreeNode>& children);

// Called once per directory after its listing; appends what retention kept back.
void finish_directory_catalog(ChildRetainer&& retainer, std::vector<TreeNode>& children);

}  // namespace bramvelt::scan
