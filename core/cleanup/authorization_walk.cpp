#include "core/cleanup/authorization_walk.hpp"

#include <algorithm>
#include <bit>
#include <vector>

#include "core/cleanup/cancelled.hpp"
#include "core/cleanup/child_dir.hpp"
#include "core/cleanup/directory_names.hpp"
#include "core/cleanup/item_bytes.hpp"
#include "core/cleanup/removal_entry.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "platform/file_status.hpp"
#include "platform/os_error.hpp"
#include "platform/text.hpp"

namespace bramvelt::cleanup {
namespace {

// One folder being walked: its descriptor (owned below the first level), its names and
// how far the walk got, and the length of its path in the walk's path buffer.
struct Level {
    platform::Fd owned;
    int fd = -1;
    DirectoryNames names;
    std::size_t next = 0;
    std::size_t path_size = 0;
};

void append_name(std::string& path, std::size_t folder_size, std::string_view name) {
    path.resize(folder_size);
    if (path.empty() || path.back() != '/') path.push_back('/');
    path.append(name);
}

bool same_entry(const filesystem::FileIdentity& a, const filesystem::FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.kind == b.kind;
}

std::uint64_t file_size(const platform::EntryStatus& status) {
    return status.is_regular() ? static_cast<std::uint64_t>(std::max<std::int64_t>(status.size, 0))
                               : 0;
}

}  // namespace

std::expected<TreeBytes, std::string> count_removal_tree(int dir_fd, std::string_view folder_path,
                                                         std::uint64_t root_device,
                                                         const RemovalRules& rules,
                                                         const CancelFlag& cancel,
                                                         TreeSnapshot& snapshot) {
    auto first = list_directory(dir_fd);
    if (!first) return std::unexpected(platform::os_error_text(first.error()));
    std::string path(folder_path);
    std::vector<Level> stack;
    stack.push_back(Level{{}, dir_fd, std::move(*first), 0, path.size()});
    ItemBytes total;
    std::uint64_t file_bytes = 0;
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.names.size()) {
            stack.pop_back();
            continue;
        }
        const std::size_t i = level.next++;
        if (is_cancelled(cancel)) return std::unexpected(std::string(kCleanupCancelled));
        if (snapshot.size() >= kMaxSnapshotEntries) {
            return std::unexpected(std::string(kTooManyEntries));
        }
        append_name(path, level.path_size, level.names[i]);
        const char* name = level.names.c_str(i);
        const auto status = platform::status_at(level.fd, name, platform::FollowFinalLink::no);
        if (!status) return std::unexpected(platform::os_error_text(status.error()));
        auto identity = classify_removal_entry(path, *status, root_device, rules);
        if (!identity) return std::unexpected(std::move(identity.error()));
        total.add(*status);
        file_bytes = platform::saturating_add(file_bytes, file_size(*status));
        if (status->is_directory()) {
            auto child = open_child_dir(level.fd, name, status->device, status->inode);
            if (!child) return std::unexpected(std::move(child.error()));
            snapshot.insert(path, *identity);
            auto names = list_directory(child->get());
            if (!names) return std::unexpected(platform::os_error_text(names.error()));
            const int fd = child->get();
            // `level` is not used past this point: the push may move the stack.
            stack.push_back(Level{std::move(*child), fd, std::move(*names), 0, path.size()});
            continue;
        }
        snapshot.insert(path, *identity);
    }
    return TreeBytes{total.total(), file_bytes};
}

std::expected<ItemSnapshot, std::string> snapshot_authorized_item(
    std::string_view canonical_path, const filesystem::FileIdentity& authorized,
    const RemovalRules& rules, const CancelFlag& cancel) {
    auto handle = filesystem::open_real_parent(canonical_path);
    if (!handle) return std::unexpected(std::move(handle.error().message));
    const auto status = platform::status_at(handle->parent_fd(), handle->name().c_str(),
                                            platform::FollowFinalLink::no);
    if (!status) return std::unexpected(platform::os_error_text(status.error()));
    const filesystem::FileIdentity current = filesystem::identity_from_status(*status);
    if (!same_entry(current, authorized)) {
        return std::unexpected(std::string(kItemChangedSinceConfirmation));
    }
    if (auto unchanged = require_unchanged(*status, rules); !unchanged) {
        return std::unexpected(std::move(unchanged.error()));
    }
    auto snapshot = std::make_shared<TreeSnapshot>();
    snapshot->insert(canonical_path, current);
    ItemSnapshot result;
    // The item's own blocks count as the review counts them; the folder's entries add theirs.
    result.bytes = ItemBytes().add(*status);
    result.file_bytes = file_size(*status);
    if (current.kind == "directory") {
        auto folder = filesystem::open_verified_dir(*handle, current);
        if (!folder) return std::unexpected(std::move(folder.error().message));
        auto below = count_removal_tree(folder->get(), canonical_path,
                                        std::bit_cast<std::uint64_t>(current.device), rules, cancel,
                                        *snapshot);
        if (!below) return std::unexpected(std::move(below.error()));
        result.bytes = platform::saturating_add(result.bytes, below->bytes);
        result.file_bytes = platform::saturating_add(result.file_bytes, below->file_bytes);
    } else if (current.kind != "file" && current.kind != "symlink") {
        return std::unexpected(std::string(kSpecialEntry));
    }
    result.snapshot = std::move(snapshot);
    return result;
}

std::expected<void, std::string> verify_snapshot_unchanged(std::string_view path,
                                                           const TreeSnapshot& stored,
                                                           const CancelFlag& cancel,
                                                           policy::Acknowledgement acknowledged) {
    const std::optional<filesystem::FileIdentity> item = stored.find(path);
    if (stored.empty() || !item) return std::unexpected(std::string(kSnapshotIncomplete));
    const RemovalRules rules{nullptr, acknowledged, HiddenEntries::NeedAcknowledgement};
    auto fresh = snapshot_authorized_item(path, *item, rules, cancel);
    if (!fresh) return std::unexpected(std::move(fresh.error()));
    bool same = fresh->snapshot->size() == stored.size();
    if (same) {
        fresh->snapshot->for_each(
            [&](std::string_view entry, const filesystem::FileIdentity& identity) {
                if (same && stored.find(entry) != identity) same = false;
            });
    }
    if (!same) return std::unexpected(std::string(kSourceChanged));
    return {};
}

}  // namespace bramvelt::cleanup
