#pragma once
// Which files of a directory become nodes. The walker hands every file node to
// retain_or_spill_child and, once the listing has ended, the retainer to
// finish_directory_catalog. Under KeepAll every file is kept and nothing else happens.
// Under KeepLargest a directory keeps its largest files, at most `max_children` and none
// below `min_size`; the others are summed into one "Smaller files" node and, with a
// catalog attached, recorded in it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "scan/catalog.hpp"
#include "scan/catalog_record.hpp"
#include "scan/catalog_writer.hpp"
#include "scan/options.hpp"
#include "scan/tree.hpp"

namespace bramvelt::scan {

class ScanSession;

// The retention state of one directory being walked; owned by the walking thread.
struct ChildRetainer {
    ChildRetainer(const ScanSession& session, std::string_view directory);
    ChildRetainer(ChildRetention retention, std::string_view directory,
                  std::shared_ptr<ScanCatalog> catalog);

    ChildRetention retention;
    // Under KeepLargest: the files kept so far, a min-heap on (size, path) whose root is
    // the first to give way.
    std::vector<RetainedChild> kept;
    std::string_view directory;  // the walker's path (raw bytes); outlives the retainer
    std::optional<CatalogDirectoryWriter> writer;  // made at the first recorded file
    std::uint64_t omitted_bytes = 0;
    std::uint64_t omitted_files = 0;
    std::shared_ptr<ScanCatalog> catalog;

    bool keeps_all() const { return std::holds_alternative<KeepAll>(retention); }
    // Whether file nodes need their catalog identity (only with a catalog attached).
    bool wants_identity() const { return catalog != nullptr; }
};

// Called once per file node, after its bytes were counted into the directory's totals.
void retain_or_spill_child(ChildRetainer& retainer, TreeNode child,
                           std::optional<CatalogIdentity> identity, NodeList& children);

// Called once per directory after its listing: finishes the directory's catalog files,
// then appends the kept files (heap order; the walker's size sort follows) and, when
// files were left out, the aggregate node. The directory's totals stay as they are.
void finish_directory_catalog(ChildRetainer&& retainer, NodeList& children);

// The "Smaller files" node of a directory (its path as text). Unreadable and Incomplete
// when the catalog could not record everything.
TreeNode small_files_aggregate(std::string_view directory, std::uint64_t bytes, std::uint64_t files,
                               bool readable);

}  // namespace bramvelt::scan
