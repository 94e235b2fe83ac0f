#include "core/cleanup/backup_snapshot.hpp"

#include <fcntl.h>

#include <cerrno>
#include <vector>

#include "core/cleanup/authorization_walk.hpp"
#include "core/cleanup/cancelled.hpp"
#include "core/cleanup/directory_names.hpp"
#include "core/cleanup/failure.hpp"
#include "core/cleanup/sha256.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "platform/access_time.hpp"
#include "platform/file_status.hpp"
#include "platform/link_target.hpp"
#include "platform/os_error.hpp"
#include "platform/xattr.hpp"

namespace bramvelt::cleanup {
namespace {

using filesystem::FileIdentity;

}  // namespace

std::string backup_key(std::string_view path) {
    std::string key;
    key.reserve(path.size());
    if (path.starts_with('/')) key.push_back('/');
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find('/', begin);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view component = path.substr(begin, end - begin);
        if (!component.empty() && component != ".") {
            if (!key.empty() && key.back() != '/') key.push_back('/');
            key.append(component);
        }
        begin = end + 1;
    }
    if (key.empty()) key = ".";
    return key;
}

void BackupSnapshot::record_source(std::string_view path, const FileIdentity& identity) {
    source_.insert(backup_key(path), identity);
}
void BackupSnapshot::record_copy(std::string_view path, const FileIdentity& identity) {
    copy_.insert(backup_key(path), identity);
}
void BackupSnapshot::record_digest(std::string_view path, std::string sha256) {
    digests_.insert_or_assign(backup_key(path), std::move(sha256));
}
void BackupSnapshot::record_metadata(std::string_view path, MetadataSnapshot metadata) {
    metadata_.insert_or_assign(backup_key(path), std::move(metadata));
}
const std::string* BackupSnapshot::digest(std::string_view path) const {
    const auto found = digests_.find(backup_key(path));
    return found == digests_.end() ? nullptr : &found->second;
}
const MetadataSnapshot* BackupSnapshot::metadata(std::string_view path) const {
    const auto found = metadata_.find(backup_key(path));
    return found == metadata_.end() ? nullptr : &found->second;
}

std::expected<MetadataSnapshot, std::string> snapshot_metadata(std::string_view path) {
    auto status = platform::status_of_path(path, platform::FollowFinalLink::no);
    if (!status) return fail_os(status.error());
    auto names = platform::list_attribute_names(path);
    if (!names) return fail_os(names.error());
    MetadataSnapshot metadata;
    for (const std::string& name : *names) {
        if (!name.starts_with(kCopiedAttributePrefix)) continue;
        auto value = platform::read_attribute(path, name);
        if (!value) {
            if (value.error() == ENODATA) return fail(kSourceMetadataChanged);
            return fail_os(value.error());
        }
        metadata.attributes.insert_or_assign(name, std::move(*value));
    }
    if (status->is_symlink()) {
        const std::string owned(path);
        auto target = platform::read_link_at(AT_FDCWD, owned.c_str());
        if (!target) return fail_os(target.error());
        metadata.link_target = std::move(*target);
    }
    metadata.mode = status->mode & 07777;
    return metadata;
}

std::expected<void, std::string> verify_backup_entry(std::string_view path,
                                                     const FileIdentity& identity,
                                                     const BackupSnapshot& snapshot,
                                                     const ProgressReporter& reporter) {
    if (is_cancelled(reporter.cancel)) return fail(kCleanupCancelled);
    const MetadataSnapshot* recorded = snapshot.metadata(path);
    auto fresh = snapshot_metadata(path);
    if (!fresh) return std::unexpected(std::move(fresh.error()));
    if (recorded == nullptr || *recorded != *fresh) return fail(kBackupMetadataChanged);
    if (identity.kind != "file") return {};

    auto handle = filesystem::open_parent_dir(path);
    if (!handle) return std::unexpected(std::move(handle.error().message));
    auto file = filesystem::open_verified_file(*handle, filesystem::FileAccess::ReadOnly, identity);
    if (!file) return std::unexpected(std::move(file.error().message));
    auto before = platform::status_of_fd(file->get());
    if (!before) return fail_os(before.error());
    auto digest = hash_file_sha256(file->get(), reporter.cancel);
    if (!digest) return std::unexpected(std::move(digest.error()));
    if (auto checked = filesystem::check_authorized_identity(*handle, identity); !checked) {
        return std::unexpected(std::move(checked.error().message));
    }
    const std::string* expected = snapshot.digest(path);
    auto now = filesystem::identity_of_fd(file->get());
    if (!now) return std::unexpected(std::move(now.error().message));
    if (expected == nullptr || *expected != digest->sha256 ||
        static_cast<std::int64_t>(digest->bytes) != identity.size || *now != identity) {
        return fail(kBackupContentChanged);
    }
    if (auto restored = platform::set_access_time(file->get(), before->atime_seconds,
                                                  before->atime_nanoseconds);
        !restored) {
        return fail_os(restored.error());
    }
    return {};
}

std::expected<std::uint64_t, std::string> verify_backup_copy(std::string_view path,
                                                             const BackupSnapshot& snapshot,
                                                             const ProgressReporter& reporter) {
    if (is_cancelled(reporter.cancel)) return fail(kCleanupCancelled);
    const std::string key = backup_key(path);
    const auto recorded = snapshot.copy().find(key);
    if (!recorded) return fail(kBackupGainedEntry);
    auto handle = filesystem::open_parent_dir(key);
    if (!handle) return std::unexpected(std::move(handle.error().message));
    if (!filesystem::check_authorized_identity(*handle, *recorded)) {
        return fail(kBackupChangedBeforeCleanup);
    }
    std::uint64_t count = 1;
    if (recorded->kind == "directory") {
        // Listed through the folder just checked, opened with no link followed.
        auto folder = filesystem::open_verified_dir(*handle, *recorded);
        if (!folder) return std::unexpected(std::move(folder.error().message));
        auto names = list_directory(folder->get());
        if (!names) return fail_os(names.error());
        for (std::size_t i = 0; i < names->size(); ++i) {
            std::string child = key == "/" ? key : key + "/";
            child.append((*names)[i]);
            auto below = verify_backup_copy(child, snapshot, reporter);
            if (!below) return std::unexpected(std::move(below.error()));
            count += *below;
        }
        if (!filesystem::check_authorized_identity(*handle, *recorded)) {
            return fail(kBackupChangedBeforeCleanup);
        }
    }
    if (auto entry = verify_backup_entry(key, *recorded, snapshot, reporter); !entry) {
        return std::unexpected(std::move(entry.error()));
    }
    return count;
}

std::expected<void, std::string> reverify_backup_source(std::string_view path,
                                                        const BackupSnapshot& snapshot,
                                                        const ProgressReporter& reporter) {
    if (auto same = verify_snapshot_unchanged(backup_key(path), snapshot.source(), reporter.cancel,
                                              reporter.acknowledged);
        !same) {
        return std::unexpected(std::move(same.error()));
    }
    std::expected<void, std::string> result;
    bool failed = false;
    snapshot.source().for_each([&](std::string_view entry, const FileIdentity& identity) {
        if (failed) return;
        if (auto checked = verify_backup_entry(entry, identity, snapshot, reporter); !checked) {
            failed = true;
            result = std::unexpected(std::move(checked.error()));
        }
    });
    return result;
}

}  // namespace bramvelt::cleanup
