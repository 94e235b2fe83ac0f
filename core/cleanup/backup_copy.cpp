#include "core/cleanup/backup_copy.hpp"

#include <openssl/evp.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <vector>

#include "core/cleanup/cancelled.hpp"
#include "core/cleanup/directory_names.hpp"
#include "core/cleanup/failure.hpp"
#include "core/cleanup/sha256.hpp"
#include "core/cleanup/step_guard.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "platform/durable_close.hpp"
#include "platform/entry_metadata.hpp"
#include "platform/file_status.hpp"
#include "platform/io.hpp"
#include "platform/link_target.hpp"
#include "platform/os_error.hpp"
#include "platform/text.hpp"
#include "platform/xattr.hpp"

namespace bramvelt::cleanup {
namespace {

using filesystem::FileIdentity;

std::atomic<void (*)()> after_attribute_listing_hook{nullptr};

std::unexpected<std::string> fail_with(std::string_view prefix, int error) {
    return std::unexpected(std::string(prefix) + platform::os_error_text(error));
}

struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

platform::EntryTimes times_of(const platform::EntryStatus& status) {
    return {status.atime_seconds, status.atime_nanoseconds, status.mtime_seconds,
            status.mtime_nanoseconds};
}

std::string join(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (!path.ends_with('/')) path.push_back('/');
    path.append(name);
    return path;
}

// Returns the digest of the bytes copied.
std::expected<std::string, std::string> copy_file(const filesystem::ParentHandle& handle,
                                                  const FileIdentity& identity,
                                                  const platform::EntryStatus& status,
                                                  std::string_view copy,
                                                  const filesystem::ReservedDir& reserved,
                                                  std::string_view source, std::string_view item_id,
                                                  ProgressReporter& reporter) {
    auto in = filesystem::open_verified_file(handle, filesystem::FileAccess::ReadOnly, identity);
    if (!in) return std::unexpected(std::move(in.error().message));
    auto out = filesystem::create_backup_file(reserved, copy);
    if (!out) return std::unexpected(std::move(out.error().message));
    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return fail("SHA-256 is unavailable");
    }
    std::vector<char> buffer(kCopyBuffer, '\0');
    std::uint64_t copied = 0;
    for (;;) {
        if (is_cancelled(reporter.cancel)) return fail(kCleanupCancelled);
        auto got = platform::read_some(in->get(), buffer);
        if (!got) return fail_os(got.error());
        if (*got == 0) break;
        if (auto put = platform::write_all(out->get(), std::string_view(buffer.data(), *got));
            !put) {
            return fail_os(put.error());
        }
        EVP_DigestUpdate(context.get(), buffer.data(), *got);
        copied += *got;
        reporter.progress.bytes_done =
            platform::saturating_add(reporter.progress.bytes_done, std::uint64_t{*got});
        emit_cleanup_progress(reporter, "backing_up", source, item_id, ForceReport::No);
    }
    auto now = filesystem::identity_of_fd(in->get());
    if (copied != static_cast<std::uint64_t>(identity.size) || !now || *now != identity) {
        return fail(kCopyIncomplete);
    }
    // Attributes before the mode: a read-only mode would refuse them afterwards.
    if (auto attributes = copy_extended_attributes(in->get(), out->get()); !attributes) {
        return std::unexpected(std::move(attributes.error()));
    }
    if (auto mode = platform::set_mode(out->get(), status.mode); !mode)
        return fail_os(mode.error());
    if (auto set = platform::set_times(out->get(), times_of(status)); !set)
        return fail_os(set.error());
    if (auto synced = platform::full_sync(out->get()); !synced) return fail_os(synced.error());
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), bytes, &length);
    const std::string digest = hex_lower(std::string_view(reinterpret_cast<char*>(bytes), length));
    if (auto rewound = platform::rewind(out->get()); !rewound) return fail_os(rewound.error());
    auto again = hash_file_sha256(out->get(), reporter.cancel);
    if (!again) return std::unexpected(std::move(again.error()));
    if (again->sha256 != digest || again->bytes != copied) return fail(kCopyContentFailed);
    if (auto set = platform::set_times(out->get(), times_of(status)); !set)
        return fail_os(set.error());
    if (auto closed = platform::close_reporting(std::move(*out)); !closed) {
        return fail_os(closed.error());
    }
    return digest;
}

std::expected<void, std::string> copy_link(std::string_view source, std::string_view copy,
                                           const filesystem::ParentHandle& handle,
                                           const platform::EntryStatus& status,
                                           const filesystem::ReservedDir& reserved) {
    auto target = platform::read_link_at(handle.parent_fd(), handle.name().c_str());
    if (!target) return fail_os(target.error());
    if (auto made = filesystem::create_backup_symlink(reserved, *target, copy); !made) {
        return std::unexpected(std::move(made.error().message));
    }
    auto names = platform::list_attribute_names(source);
    if (!names) return fail_os(names.error());
    for (const std::string& name : *names) {
        if (!name.starts_with(kCopiedAttributePrefix)) continue;
        auto value = platform::read_attribute(source, name);
        if (!value) {
            if (value.error() == ENODATA) return fail(kSymlinkMetadataChanged);
            return fail_os(value.error());
        }
        if (auto set = platform::write_attribute(copy, name, *value); !set) {
            return fail_with(kSymlinkMetadataNotPreserved, set.error());
        }
    }
    if (auto set = platform::set_link_times(copy, times_of(status)); !set)
        return fail_os(set.error());
    return {};
}

}  // namespace

void set_after_attribute_listing_hook_for_testing(void (*hook)()) {
    after_attribute_listing_hook.store(hook);
}

std::expected<void, std::string> copy_extended_attributes(int source_fd, int copy_fd) {
    auto names = platform::list_attribute_names_fd(source_fd);
    if (!names) return fail_with(kMetadataUnreadable, names.error());
    if (auto hook = after_attribute_listing_hook.load()) hook();
    for (const std::string& name : *names) {
        if (!name.starts_with(kCopiedAttributePrefix)) continue;
        auto value = platform::read_attribute_fd(source_fd, name);
        if (!value) {
            if (value.error() == ENODATA) return fail(kSourceAttributeGone);
            return fail_os(value.error());
        }
        if (auto set = platform::write_attribute_fd(copy_fd, name, *value); !set) {
            return fail_with(kMetadataNotPreserved, set.error());
        }
        auto source_again = platform::read_attribute_fd(source_fd, name);
        auto copied = platform::read_attribute_fd(copy_fd, name);
        for (const auto* read : {&source_again, &copied}) {
            if (!*read && read->error() != ENODATA) return fail_os(read->error());
        }
        if (!source_again || !copied || *source_again != *value || *copied != *value) {
            return fail(kMetadataVerificationFailed);
        }
    }
    return {};
}

std::expected<void, std::string> copy_item_to_backup(std::string_view source, std::string_view copy,
                                                     const filesystem::ReservedDir& reserved,
                                                     std::string_view item_id,
                                                     BackupSnapshot& snapshot,
                                                     ProgressReporter& reporter,
                                                     const FileIdentity* authorized) {
    auto identity = filesystem::read_identity(source);
    if (!identity) return std::unexpected(std::move(identity.error().message));
    // The guard below then refuses an entry that is not the authorized one.
    if (authorized) *identity = *authorized;
    auto handle = step_guard(reporter, source, *identity);
    if (!handle) return std::unexpected(std::move(handle.error()));
    auto status = platform::status_at(handle->parent_fd(), handle->name().c_str(),
                                      platform::FollowFinalLink::no);
    if (!status) return fail_os(status.error());
    auto start = snapshot_metadata(source);
    if (!start) return std::unexpected(std::move(start.error()));
    emit_cleanup_progress(reporter, "backing_up", source, item_id, ForceReport::No);

    if (identity->kind == "file") {
        auto digest =
            copy_file(*handle, *identity, *status, copy, reserved, source, item_id, reporter);
        if (!digest) return std::unexpected(std::move(digest.error()));
        snapshot.record_digest(source, *digest);
        snapshot.record_digest(copy, *digest);
    } else if (identity->kind == "symlink") {
        if (auto linked = copy_link(source, copy, *handle, *status, reserved); !linked)
            return linked;
    } else if (identity->kind == "directory") {
        auto in = filesystem::open_verified_dir(*handle, *identity);
        if (!in) return std::unexpected(std::move(in.error().message));
        auto out = filesystem::create_backup_dir(reserved, copy);
        if (!out) return std::unexpected(std::move(out.error().message));
        auto names = list_directory(in->get());
        if (!names) return fail_os(names.error());
        for (std::size_t i = 0; i < names->size(); ++i) {
            if (auto same = filesystem::check_authorized_identity(*handle, *identity); !same) {
                return std::unexpected(std::move(same.error().message));
            }
            if (auto child = copy_item_to_backup(join(source, (*names)[i]), join(copy, (*names)[i]),
                                                 reserved, item_id, snapshot, reporter);
                !child) {
                return child;
            }
        }
        if (auto same = filesystem::check_authorized_identity(*handle, *identity); !same) {
            return std::unexpected(std::move(same.error().message));
        }
        if (auto attributes = copy_extended_attributes(in->get(), out->get()); !attributes) {
            return attributes;
        }
        if (auto mode = platform::set_mode(out->get(), status->mode); !mode)
            return fail_os(mode.error());
        if (auto set = platform::set_times(out->get(), times_of(*status)); !set)
            return fail_os(set.error());
        if (auto synced = platform::full_sync(out->get()); !synced) return fail_os(synced.error());
        if (auto closed = platform::close_reporting(std::move(*out)); !closed) {
            return fail_os(closed.error());
        }
    } else {
        return fail(kSpecialNotBackedUp);
    }

    if (auto same = filesystem::check_authorized_identity(*handle, *identity); !same) {
        return std::unexpected(std::move(same.error().message));
    }
    if (auto reserved_ok = filesystem::check_reserved_dir(reserved); !reserved_ok) {
        return std::unexpected(std::move(reserved_ok.error().message));
    }
    auto source_now = snapshot_metadata(source);
    auto copy_now = snapshot_metadata(copy);
    if (!source_now || !copy_now || *source_now != *start || *copy_now != *start) {
        return fail(kCopiedMetadataChanged);
    }
    snapshot.record_metadata(source, *start);
    snapshot.record_metadata(copy, std::move(*start));
    snapshot.record_source(source, *identity);
    auto copied = filesystem::read_identity(copy);
    if (!copied) return std::unexpected(std::move(copied.error().message));
    snapshot.record_copy(copy, *copied);
    return {};
}

}  // namespace bramvelt::cleanup
