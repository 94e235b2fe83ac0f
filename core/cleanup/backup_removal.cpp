#include "core/cleanup/backup_removal.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "core/cleanup/cancelled.hpp"
#include "core/cleanup/directory_names.hpp"
#include "core/cleanup/failure.hpp"
#include "core/cleanup/permanent_removal.hpp"
#include "core/cleanup/step_guard.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "core/policy/decision.hpp"
#include "platform/durable_close.hpp"
#include "platform/io.hpp"
#include "platform/os_error.hpp"
#include "platform/random.hpp"
#include "platform/text.hpp"

namespace bramvelt::cleanup {
namespace {

using filesystem::FileIdentity;
using filesystem::ParentHandle;

std::expected<void, std::string> acknowledged(const ProgressReporter& reporter,
                                              std::string_view path) {
    auto gate = policy::require_acknowledgement(reporter.plan.context, path, reporter.acknowledged);
    if (!gate) return std::unexpected(std::move(gate.error()));
    return {};
}

// The three passes over one file; returns its identity afterwards, which the removal
// then checks against.
std::expected<FileIdentity, std::string> overwrite_file(const ParentHandle& handle,
                                                        const FileIdentity& identity,
                                                        std::string_view item_id,
                                                        ProgressReporter& reporter) {
    if (identity.links >= 2) return fail(kOverwriteRefusedHardLinks);
    auto file = filesystem::open_verified_file(handle, filesystem::FileAccess::ReadWrite, identity);
    if (!file) return std::unexpected(std::move(file.error().message));
    std::vector<char> buffer(kOverwriteChunk, '\0');
    const std::uint64_t size = static_cast<std::uint64_t>(std::max<std::int64_t>(identity.size, 0));
    for (const int pass : {0, 1, 2}) {
        if (auto rewound = platform::rewind(file->get()); !rewound) return fail_os(rewound.error());
        std::uint64_t remaining = size;
        while (remaining > 0) {
            if (is_cancelled(reporter.cancel)) return fail(kCleanupCancelled);
            auto now = filesystem::identity_of_fd(file->get());
            if (!now) return std::unexpected(std::move(now.error().message));
            if (now->links > 1) return fail(kGainedHardLink);
            const auto chunk =
                static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kOverwriteChunk));
            const std::span<char> bytes(buffer.data(), chunk);
            if (pass == 2) {
                const std::span<unsigned char> raw(reinterpret_cast<unsigned char*>(bytes.data()),
                                                   bytes.size());
                if (auto random = platform::random_bytes(raw); !random) {
                    return fail_os(random.error());
                }
            } else {
                std::ranges::fill(bytes, pass == 0 ? '\0' : '\xff');
            }
            if (auto put = platform::write_all(file->get(), std::string_view(bytes.data(), chunk));
                !put) {
                return fail_os(put.error());
            }
            remaining -= chunk;
            reporter.progress.bytes_done =
                platform::saturating_add(reporter.progress.bytes_done, std::uint64_t{chunk});
            emit_cleanup_progress(reporter, "overwriting", handle.path(), item_id, ForceReport::No);
        }
        if (auto synced = platform::full_sync(file->get()); !synced) return fail_os(synced.error());
    }
    auto after = filesystem::identity_of_fd(file->get());
    if (!after) return std::unexpected(std::move(after.error().message));
    if (after->device != identity.device || after->inode != identity.inode ||
        after->kind != "file" || after->links >= 2 ||
        static_cast<std::uint64_t>(after->size) != size) {
        return fail(kChangedDuringOverwrite);
    }
    if (auto closed = platform::close_reporting(std::move(*file)); !closed) {
        return fail_os(closed.error());
    }
    return *after;
}

std::expected<void, std::string> remove_at(std::string_view path, const FileIdentity& identity,
                                           std::string_view item_id, OverwriteFiles overwrite,
                                           const BackupSnapshot* snapshot,
                                           ProgressReporter& reporter, std::size_t depth) {
    auto handle = step_guard(reporter, path, identity);
    if (!handle) return std::unexpected(std::move(handle.error()));
    emit_cleanup_progress(reporter, overwrite == OverwriteFiles::Yes ? "overwriting" : "removing",
                          path, item_id, ForceReport::No);

    if (identity.kind == "file" || identity.kind == "symlink") {
        if (snapshot != nullptr) {
            if (auto checked = verify_backup_entry(path, identity, *snapshot, reporter); !checked) {
                return checked;
            }
        }
        FileIdentity final_identity = identity;
        const bool overwriting = overwrite == OverwriteFiles::Yes && identity.kind == "file";
        if (overwriting) {
            auto written = overwrite_file(*handle, identity, item_id, reporter);
            if (!written) return std::unexpected(std::move(written.error()));
            final_identity = std::move(*written);
        }
        if (is_cancelled(reporter.cancel)) return fail(kCleanupCancelled);
        if (auto gate = acknowledged(reporter, path); !gate) return gate;
        if (auto removed = filesystem::unlink_verified(*handle, filesystem::UnlinkAs::NonDirectory,
                                                       final_identity);
            !removed) {
            return std::unexpected(std::move(removed.error().message));
        }
        if (!overwriting && identity.kind == "file") {
            reporter.progress.bytes_done = platform::saturating_add(
                reporter.progress.bytes_done,
                static_cast<std::uint64_t>(std::max<std::int64_t>(identity.size, 0)));
        }
        return {};
    }
    if (identity.kind != "directory") return fail(kSpecialNeverRemoved);
    if (depth >= kMaxRemovalDepth) return fail_os(ENAMETOOLONG);

    // Every name first, so removing cannot disturb the listing; the folder is opened
    // through the parent just checked, with no link followed.
    DirectoryNames names;
    {
        auto folder = filesystem::open_verified_dir(*handle, identity);
        if (!folder) return std::unexpected(std::move(folder.error().message));
        auto listed = list_directory(folder->get());
        if (!listed) return fail_os(listed.error());
        names = std::move(*listed);
    }
    const auto same_folder = [&](const FileIdentity& now) {
        return now.device == identity.device && now.inode == identity.inode &&
               now.kind == identity.kind;
    };
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (is_cancelled(reporter.cancel)) return fail(kCleanupCancelled);
        auto folder_now = filesystem::identity_at(handle->parent_fd(), handle->name());
        if (!folder_now || !same_folder(*folder_now)) return fail(kDirectoryReplaced);
        std::string child(path);
        if (!child.ends_with('/')) child.push_back('/');
        child.append(names[i]);
        auto child_identity = filesystem::read_identity(child);
        if (!child_identity) return std::unexpected(std::move(child_identity.error().message));
        if (child_identity->device != identity.device) return fail(kNeverCrossesFilesystems);
        if (snapshot != nullptr && snapshot->source().find(backup_key(child)) != *child_identity) {
            return fail(kChangedAfterBackup);
        }
        if (auto removed = remove_at(child, *child_identity, item_id, overwrite, snapshot, reporter,
                                     depth + 1);
            !removed) {
            return removed;
        }
    }
    auto folder_now = filesystem::identity_at(handle->parent_fd(), handle->name());
    if (!folder_now || !same_folder(*folder_now)) return fail(kDirectoryReplaced);
    if (auto gate = acknowledged(reporter, path); !gate) return gate;
    if (auto removed =
            filesystem::unlink_verified(*handle, filesystem::UnlinkAs::Directory, *folder_now);
        !removed) {
        return std::unexpected(std::move(removed.error().message));
    }
    return {};
}

}  // namespace

std::expected<void, std::string> remove_item(std::string_view path, const FileIdentity& identity,
                                             std::string_view item_id, OverwriteFiles overwrite,
                                             const BackupSnapshot* snapshot,
                                             ProgressReporter& reporter) {
    return remove_at(path, identity, item_id, overwrite, snapshot, reporter, 0);
}

}  // namespace bramvelt::cleanup
