#include "scan/retention.hpp"

#include <algorithm>
#include <limits>

#include "platform/utf8.hpp"
#include "scan/session.hpp"
#include "scan/tree_json.hpp"

namespace bramvelt::scan {
namespace {

// Heap comparator that puts the smallest (size, path) at the root.
bool larger_first(const RetainedChild& a, const RetainedChild& b) {
    if (a.node.size != b.node.size) return a.node.size > b.node.size;
    return a.node.path > b.node.path;
}

std::int64_t clamp_signed(std::uint64_t value) {
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(std::min(value, max));
}

}  // namespace

ChildRetainer::ChildRetainer(const ScanSession& session, std::string_view dir)
    : retention(session.options.retention), directory(dir), catalog(session.catalog) {}

ChildRetainer::ChildRetainer(ChildRetention setting, std::string_view dir,
                             std::shared_ptr<ScanCatalog> shared_catalog)
    : retention(setting), directory(dir), catalog(std::move(shared_catalog)) {}

void retain_or_spill_child(ChildRetainer& retainer, TreeNode child,
                           std::optional<CatalogIdentity> identity, NodeList& children) {
    const auto* largest = std::get_if<KeepLargest>(&retainer.retention);
    // Placeholders and other special files always stay visible.
    if (largest == nullptr || child.state != NodeState::Normal) {
        children.push_back(std::move(child));
        return;
    }
    if (largest->max_children == 0 || static_cast<std::uint64_t>(child.size) < largest->min_size) {
        catalog_spill_record(retainer, std::move(child), identity);
        return;
    }
    retainer.kept.push_back(RetainedChild{std::move(child), identity});
    std::ranges::push_heap(retainer.kept, larger_first);
    if (retainer.kept.size() > largest->max_children) {
        std::ranges::pop_heap(retainer.kept, larger_first);
        RetainedChild smallest = std::move(retainer.kept.back());
        retainer.kept.pop_back();
        catalog_spill_record(retainer, std::move(smallest.node), smallest.identity);
    }
}

void finish_directory_catalog(ChildRetainer&& retainer, NodeList& children) {
    bool sound = retainer.catalog == nullptr || !retainer.catalog->failed();
    if (retainer.writer) {
        if (auto done = finish_catalog_writer(*retainer.writer); !done) {
            retainer.catalog->record_error(done.error());
            sound = false;
        }
        retainer.writer.reset();
    }
    for (auto& kept : retainer.kept) children.push_back(std::move(kept.node));
    retainer.kept.clear();
    if (retainer.omitted_files > 0) {
        children.push_back(small_files_aggregate(platform::to_utf8_lossy(retainer.directory),
                                                 retainer.omitted_bytes, retainer.omitted_files,
                                                 sound));
    }
    retainer.catalog.reset();
}

TreeNode small_files_aggregate(std::string_view directory, std::uint64_t bytes, std::uint64_t files,
                               bool readable) {
    TreeNode node;
    node.path.reserve(kSmallFilesPrefix.size() + directory.size());
    node.path.append(kSmallFilesPrefix).append(directory);
    node.kind = NodeKind::File;
    node.size = clamp_signed(bytes);
    node.file_count = clamp_signed(files);
    node.is_readable = readable;
    node.state = readable ? NodeState::SmallFilesAggregate : NodeState::Incomplete;
    return node;
}

}  // namespace bramvelt::scan
