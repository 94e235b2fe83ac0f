#include "core/cleanup/permanent_removal.hpp"

// The walk's unlinkat is this file's subject.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <unordered_map>
#include <vector>

#include "core/cleanup/cancelled.hpp"
#include "core/cleanup/child_dir.hpp"
#include "core/cleanup/directory_names.hpp"
#include "core/cleanup/failure.hpp"
#include "core/cleanup/removal_entry.hpp"
#include "core/cleanup/step_guard.hpp"
#include "platform/file_status.hpp"
#include "platform/os_error.hpp"
#include "platform/text.hpp"

namespace bramvelt::cleanup {
namespace {

// One folder being emptied: its descriptor (owned below the first level), its names and
// how far the walk got, its path's length in the walk's buffer, and its status as
// examined, whose device and inode its name must still lead to when it is removed.
struct Level {
    platform::Fd owned;
    int fd = -1;
    DirectoryNames names;
    std::size_t next = 0;
    std::size_t path_size = 0;
    platform::EntryStatus status;
};

std::unexpected<std::string> os_failure(int error) {
    return std::unexpected(platform::os_error_text(error));
}

void append_name(std::string& path, std::size_t folder_size, std::string_view name) {
    path.resize(folder_size);
    if (path.empty() || path.back() != '/') path.push_back('/');
    path.append(name);
}

bool same_entry(const filesystem::FileIdentity& a, const filesystem::FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.kind == b.kind;
}

// The item folder the walk is emptying is still the authorized one.
std::expected<void, std::string> recheck_item(const filesystem::ParentHandle& item,
                                              const filesystem::FileIdentity& authorized) {
    const auto current = filesystem::identity_at(item.parent_fd(), item.name());
    if (!current) return std::unexpected(current.error().message);
    if (!same_entry(*current, authorized)) return fail(kDirectoryReplaced);
    return {};
}

std::atomic<void (*)(std::string_view)> after_entry_removed_hook{nullptr};

// One entry gone (`path`): counted, and its bytes are work done.
void count_removed(ProgressReporter& reporter, ItemBytes& removed, std::string_view path,
                   const platform::EntryStatus& status) {
    reporter.progress.bytes_done =
        platform::saturating_add(reporter.progress.bytes_done, removed.add(status));
    if (auto hook = after_entry_removed_hook.load()) hook(path);
}

// Files with further links that this walk unlinked one link of, by inode (the walk stays on
// one device): that unlink moved their change time, at the latest to the clock read just
// after it, so a further link met later is judged against that instead of the moment.
class OwnUnlinks {
  public:
    explicit OwnUnlinks(const RemovalRules& rules) : rules_(rules) {}

    // The rules to judge `status` by.
    const RemovalRules& rules_for(const platform::EntryStatus& status) {
        if (!rules_.unchanged_since || unlinked_.empty() || status.is_directory()) return rules_;
        const auto found = unlinked_.find(status.inode);
        if (found == unlinked_.end()) return rules_;
        further_link_ = rules_;
        further_link_.unchanged_since = std::max(*rules_.unchanged_since, found->second);
        return further_link_;
    }

    // `status` was just unlinked.
    void unlinked(const platform::EntryStatus& status) {
        if (!rules_.unchanged_since || status.is_directory() || status.link_count < 2) return;
        unlinked_[status.inode] = platform::change_clock_now();
    }

  private:
    const RemovalRules& rules_;
    RemovalRules further_link_;
    std::unordered_map<std::uint64_t, platform::ChangeTime> unlinked_;
};

void report_if_due(ProgressReporter& reporter, std::string_view path, std::string_view item_id) {
    if (progress_due(reporter)) {
        emit_cleanup_progress(reporter, kStageRemoving, path, item_id, ForceReport::No);
    }
}

}  // namespace

std::expected<void, std::string> remove_tree(int dir_fd, std::string_view folder_path,
                                             std::uint64_t root_device, std::string_view item_id,
                                             const RemovalRules& rules,
                                             const filesystem::ParentHandle& item,
                                             const filesystem::FileIdentity& item_identity,
                                             std::uint64_t& entries, ProgressReporter& reporter,
                                             ItemBytes& removed) {
    auto first = list_directory(dir_fd);
    if (!first) return os_failure(first.error());
    std::string path(folder_path);
    std::vector<Level> stack;
    stack.push_back(Level{{}, dir_fd, std::move(*first), 0, path.size(), {}});
    OwnUnlinks own_unlinks(rules);
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.names.size()) {
            if (stack.size() == 1) break;
            // An emptied sub-folder: closed, then removed while its name still leads to it.
            const platform::EntryStatus examined = level.status;
            stack.pop_back();
            Level& parent = stack.back();
            const std::size_t i = parent.next - 1;
            const char* name = parent.names.c_str(i);
            append_name(path, parent.path_size, parent.names[i]);
            const auto status = platform::status_at(parent.fd, name, platform::FollowFinalLink::no);
            if (!status) return os_failure(status.error());
            if (status->device != examined.device || status->inode != examined.inode) {
                return fail(kFolderReplaced);
            }
            if (::unlinkat(parent.fd, name, AT_REMOVEDIR) != 0) return os_failure(errno);
            count_removed(reporter, removed, path, examined);
            report_if_due(reporter, path, item_id);
            continue;
        }
        const std::size_t i = level.next++;
        if (is_cancelled(reporter.cancel)) return fail(kCleanupCancelled);
        if (++entries % kRecheckInterval == 0) {
            if (auto same = recheck_item(item, item_identity); !same) return same;
        }
        append_name(path, level.path_size, level.names[i]);
        const char* name = level.names.c_str(i);
        const auto status = platform::status_at(level.fd, name, platform::FollowFinalLink::no);
        if (!status) return os_failure(status.error());
        auto identity =
            classify_removal_entry(path, *status, root_device, own_unlinks.rules_for(*status));
        if (!identity) return std::unexpected(std::move(identity.error()));
        if (status->is_directory()) {
            auto child = open_child_dir(level.fd, name, status->device, status->inode);
            if (!child) return std::unexpected(std::move(child.error()));
            auto names = list_directory(child->get());
            if (!names) return os_failure(names.error());
            const int fd = child->get();
            // `level` is not used past this point: the push may move the stack.
            stack.push_back(
                Level{std::move(*child), fd, std::move(*names), 0, path.size(), *status});
            continue;
        }
        // Whatever lies inside the item is the item's: an entry below it goes by its name
        // relative to the folder just examined. A folder swapped in meanwhile is refused
        // by unlinkat itself, and a mount cannot be unlinked.
        if (::unlinkat(level.fd, name, 0) != 0) return os_failure(errno);
        own_unlinks.unlinked(*status);
        count_removed(reporter, removed, path, *status);
        report_if_due(reporter, path, item_id);
    }
    return {};
}

std::expected<void, std::string> remove_permanently(
    std::string_view path, const filesystem::FileIdentity& identity, std::string_view item_id,
    const RemovalRules& rules, ProgressReporter& reporter, ItemBytes& removed) {
    auto handle = step_guard(reporter, path, identity);
    if (!handle) return std::unexpected(std::move(handle.error()));
    emit_cleanup_progress(reporter, kStageRemoving, path, item_id, ForceReport::Yes);
    const auto gate = [&]() -> std::expected<void, std::string> {
        auto decision =
            policy::require_acknowledgement(reporter.plan.context, path, reporter.acknowledged);
        if (!decision) return std::unexpected(std::move(decision.error()));
        return {};
    };

    if (identity.kind == "file" || identity.kind == "symlink") {
        if (is_cancelled(reporter.cancel)) return fail(kCleanupCancelled);
        if (auto allowed = gate(); !allowed) return allowed;
        const auto status = platform::status_at(handle->parent_fd(), handle->name().c_str(),
                                                platform::FollowFinalLink::no);
        if (!status) return os_failure(status.error());
        if (auto unchanged = require_unchanged(*status, rules); !unchanged) return unchanged;
        // Checks the identity, then removes the entry under a private name of its own.
        if (auto removed =
                filesystem::unlink_verified(*handle, filesystem::UnlinkAs::NonDirectory, identity);
            !removed) {
            return std::unexpected(std::move(removed.error().message));
        }
        count_removed(reporter, removed, path, *status);
        return {};
    }
    if (identity.kind != "directory") return fail(kSpecialNeverRemoved);

    {
        auto folder = filesystem::open_verified_dir(*handle, identity);
        if (!folder) return std::unexpected(std::move(folder.error().message));
        if (rules.unchanged_since) {
            const auto own = platform::status_of_fd(folder->get());
            if (!own) return os_failure(own.error());
            if (auto unchanged = require_unchanged(*own, rules); !unchanged) return unchanged;
        }
        std::uint64_t entries = 0;
        if (auto emptied =
                remove_tree(folder->get(), path, std::bit_cast<std::uint64_t>(identity.device),
                            item_id, rules, *handle, identity, entries, reporter, removed);
            !emptied) {
            return emptied;
        }
    }
    const auto status = platform::status_at(handle->parent_fd(), handle->name().c_str(),
                                            platform::FollowFinalLink::no);
    if (!status) return os_failure(status.error());
    const filesystem::FileIdentity emptied = filesystem::identity_from_status(*status);
    if (!same_entry(emptied, identity)) return fail(kDirectoryReplaced);
    if (auto allowed = gate(); !allowed) return allowed;
    // Against the emptied folder's own identity: its time and size changed as it emptied.
    if (auto gone = filesystem::unlink_verified(*handle, filesystem::UnlinkAs::Directory, emptied);
        !gone) {
        return std::unexpected(std::move(gone.error().message));
    }
    count_removed(reporter, removed, path, *status);
    return {};
}

void set_after_entry_removed_hook_for_testing(void (*hook)(std::string_view path)) {
    after_entry_removed_hook.store(hook);
}

}  // namespace bramvelt::cleanup
