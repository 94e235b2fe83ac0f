#include "scan_core/retention.hpp"

#include "scan_core/session.hpp"

namespace bramvelt::scan {

ChildRetainer::ChildRetainer(const ScanSession& session, std::string_view dir)
    : retention(session.options.retention), directory(dir), catalog(session.catalog) {}

void retain_or_spill_child(ChildRetainer& retainer, TreeNode child,
                           std::optional<CatalogIdentity> /*identity*/,
                           std::vector<TreeNode>& children) {
    // Largest-only retention is not available yet; until it is, every file is kept, so
    // no setting loses a file from the tree.
    (void)retainer;
    children.push_back(std::move(child));
}

void finish_directory_catalog(ChildRetainer&& retainer, std::vector<TreeNode>& /*children*/) {
    retainer.catalog.reset();
}

}  // namespace bramvelt::scan
