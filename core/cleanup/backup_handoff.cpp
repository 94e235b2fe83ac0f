#include "core/cleanup/backup_handoff.hpp"

#include <sys/random.h>

#include <cerrno>
#include <filesystem>

#include "core/cleanup/authorization_walk.hpp"
#include "core/cleanup/backup_archive.hpp"
#include "core/cleanup/backup_copy.hpp"
#include "core/cleanup/backup_removal.hpp"
#include "core/cleanup/backup_snapshot.hpp"
#include "core/cleanup/cancelled.hpp"
#include "core/cleanup/failure.hpp"
#include "core/cleanup/sanitize.hpp"
#include "core/cleanup/sha256.hpp"
#include "core/cleanup/step_guard.hpp"
#include "core/filesystem/real_path.hpp"
#include "core/filesystem/reserved_dir.hpp"
#include "platform/private_dir.hpp"
#include "platform/random.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::cleanup {
namespace {

// Removes the staging folder when the handoff returns, whatever happened. Copies keep
// their source's modes, so folders are made writable first; failures are ignored.
struct StagingRemoval {
    std::string path;
    ~StagingRemoval() {
        namespace fs = std::filesystem;
        std::error_code ignored;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
        for (auto it = fs::recursive_directory_iterator(path, ignored);
             it != fs::recursive_directory_iterator(); it.increment(ignored)) {
            if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
            }
        }
        fs::remove_all(path, ignored);
    }
};

bool at_or_below(std::string_view inner, std::string_view outer) {
    if (inner == outer || outer == "/") return true;
    return inner.size() > outer.size() && inner.starts_with(outer) && inner[outer.size()] == '/';
}

}  // namespace

std::expected<void, std::string> archive_handoff_backup(
    const AuthorizedItem& item, host_trash::AcknowledgementReceiver& acknowledgements,
    ProgressReporter& reporter, std::optional<std::string>& backup_path) {
    const std::string& path = item.canonical_path;
    if (!item.snapshot) return fail(kSnapshotIncomplete);
    if (auto same =
            verify_snapshot_unchanged(path, *item.snapshot, reporter.cancel, reporter.acknowledged);
        !same) {
        return same;
    }
    auto made = platform::make_private_temp_dir("bramvelt-handoff-");
    if (!made) return fail(kStagingNotReserved);
    const StagingRemoval removal{*made};
    auto real = filesystem::real_path(*made);
    if (!real) return std::unexpected(std::move(real.error().message));
    auto staging = filesystem::open_reserved_dir(*real);
    if (!staging) return std::unexpected(std::move(staging.error().message));
    if (at_or_below(staging->path, path)) return fail(kStagingInsideItem);

    const std::string copy = staging->path + "/snapshot";
    BackupSnapshot snapshot;
    if (auto copied = copy_item_to_backup(path, copy, *staging, item.item_id, snapshot, reporter,
                                          &item.identity);
        !copied) {
        return copied;
    }
    if (auto source = reverify_backup_source(path, snapshot, reporter); !source) return source;
    emit_cleanup_progress(reporter, "verifying_backup", copy, item.item_id, ForceReport::Yes);
    auto count = verify_backup_copy(copy, snapshot, reporter);
    if (!count) return std::unexpected(std::move(count.error()));
    if (*count != snapshot.copy().size()) return fail(kStagingLostEntry);

    const std::string archive_path = staging->path + "/verified.tar";
    auto archive_file = filesystem::create_backup_file(*staging, archive_path);
    if (!archive_file) return std::unexpected(std::move(archive_file.error().message));
    emit_cleanup_progress(reporter, "archiving_backup", path, item.item_id, ForceReport::Yes);
    auto archive = write_backup_archive(copy, snapshot.copy(), archive_path,
                                        std::move(*archive_file), reporter.cancel);
    if (!archive) return std::unexpected(std::move(archive.error()));

    auto token = platform::random_hex(24);
    if (!token) return fail(kHandoffNotAuthorized);
    backup_path = platform::to_utf8_lossy(archive_path);
    emit_cleanup_progress(reporter, "awaiting_external_backup", path, item.item_id,
                          ForceReport::Yes);
    reporter.sink(ExternalBackupRequest{item.identity, item.item_id, platform::to_utf8_lossy(path),
                                        *token, platform::to_utf8_lossy(archive_path),
                                        archive->sha256, archive->size});
    const Instant start = reporter.now();

    host_trash::HostAcknowledgement answer;
    for (;;) {
        if (is_cancelled(reporter.cancel)) return fail(kCleanupCancelled);
        if (reporter.now() - start > kExternalBackupTtl) return fail(kHandoffExpired);
        auto received =
            acknowledgements.receive_until(host_trash::Clock::now() + kAcknowledgementPoll);
        if (received.kind == host_trash::Received::Kind::Timeout) continue;
        if (received.kind == host_trash::Received::Kind::Disconnected || !received.message) {
            return fail(kHandoffDisconnected);
        }
        answer = std::move(*received.message);
        break;
    }
    if (answer.item_id != item.item_id || answer.token != *token) return fail(kHandoffMismatch);
    if (!answer.success) {
        return std::unexpected(
            sanitize_report_text(answer.message.value_or(std::string(kHandoffTransferFailed))));
    }
    if (!answer.receipt) return fail(kHandoffNeedsReceipt);
    const host_trash::ArchiveReceipt& receipt = *answer.receipt;
    if (receipt.size != archive->size || receipt.identity.kind != "file" ||
        receipt.identity.links != 1 ||
        static_cast<std::uint64_t>(receipt.identity.size) != archive->size ||
        receipt.sha256 != archive->sha256) {
        return fail(kHandoffReceiptMismatch);
    }
    if (is_cancelled(reporter.cancel)) return fail(kCleanupCancelled);
    emit_cleanup_progress(reporter, "verifying_external_backup", path, item.item_id,
                          ForceReport::Yes);
    if (!filesystem::check_reserved_dir(*staging)) return fail(kStagingChanged);
    auto saved = verify_saved_backup(archive_path, archive->sha256, archive->size, reporter.cancel);
    if (!saved) return std::unexpected(std::move(saved.error()));
    if (saved->identity != archive->identity) return fail(kArchiveReplaced);
    auto again = verify_backup_copy(copy, snapshot, reporter);
    if (!again) return std::unexpected(std::move(again.error()));
    if (*again != snapshot.copy().size()) return fail(kStagingTreeChanged);
    if (auto source = reverify_backup_source(path, snapshot, reporter); !source) return source;
    if (auto guard = step_guard(reporter, path, item.identity); !guard) {
        return std::unexpected(std::move(guard.error()));
    }
    return remove_item(path, item.identity, item.item_id, OverwriteFiles::No, &snapshot, reporter);
}

}  // namespace bramvelt::cleanup
