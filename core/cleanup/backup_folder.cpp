#include "core/cleanup/backup_folder.hpp"

#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "core/cleanup/backup_copy.hpp"
#include "core/cleanup/backup_removal.hpp"
#include "core/cleanup/backup_snapshot.hpp"
#include "core/cleanup/failure.hpp"
#include "core/cleanup/step_guard.hpp"
#include "core/filesystem/real_path.hpp"
#include "core/policy/normalize.hpp"
#include "platform/file_status.hpp"
#include "platform/os_error.hpp"
#include "platform/random.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::cleanup {
namespace {

std::optional<BackupNameParts> fixed_name_parts;  // tests only, set before a run

// `inner` is `outer` or lies below it, by whole components.
bool at_or_below(std::string_view inner, std::string_view outer) {
    if (inner == outer) return true;
    if (outer == "/") return true;
    return inner.size() > outer.size() && inner.starts_with(outer) && inner[outer.size()] == '/';
}

std::string join(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (!path.ends_with('/')) path.push_back('/');
    path.append(name);
    return path;
}

std::expected<std::string, std::string> canonical(std::string_view path) {
    auto normalized = policy::normalize_local_path(path);
    if (!normalized) return std::unexpected(std::move(normalized.error()));
    auto real = filesystem::real_path(*normalized);
    if (!real) return std::unexpected(std::move(real.error().message));
    return std::move(*real);
}

}  // namespace

void set_backup_name_parts_for_testing(std::optional<BackupNameParts> parts) {
    fixed_name_parts = parts;
}

std::expected<filesystem::ReservedDir, std::string> reserve_backup_folder(
    std::string_view destination, const std::vector<AuthorizedItem>& items) {
    auto normalized = policy::normalize_local_path(destination);
    if (!normalized) return std::unexpected(std::move(normalized.error()));
    auto real = filesystem::real_path(*normalized);
    if (!real) return std::unexpected(std::move(real.error().message));
    auto status = platform::status_of_path(*real, platform::FollowFinalLink::yes);
    if (!status || !status->is_directory()) return fail(kDestinationNotDirectory);
    for (const AuthorizedItem& item : items) {
        if (at_or_below(*real, item.canonical_path)) return fail(kDestinationInsideItem);
    }
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    auto seconds = std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
    unsigned char random[8];
    if (auto filled = platform::random_bytes(random); !filled) {
        return std::unexpected(platform::os_error_text(filled.error()));
    }
    std::uint64_t number = 0;
    for (int i = 7; i >= 0; --i) number = (number << 8) | random[i];  // little-endian
    if (fixed_name_parts) {
        seconds = fixed_name_parts->seconds;
        number = fixed_name_parts->random;
    }
    for (int attempt = 0; attempt < kBackupNameAttempts; ++attempt) {
        char name[96];
        std::snprintf(name, sizeof name, "%s%lld-%016llx-%d", kBackupFolderPrefix.data(),
                      static_cast<long long>(seconds), static_cast<unsigned long long>(number),
                      attempt);
        const std::string path = join(*real, name);
        if (::mkdir(path.c_str(), 0777) != 0) {
            if (errno == EEXIST) continue;
            return std::unexpected(platform::os_error_text(errno));
        }
        auto reserved = filesystem::open_reserved_dir(path);
        if (!reserved) return std::unexpected(std::move(reserved.error().message));
        return std::move(*reserved);
    }
    return fail(kNoUniqueBackupDir);
}

std::expected<void, std::string> back_up_to_folder(const AuthorizedItem& item,
                                                   const filesystem::ReservedDir& reserved,
                                                   ProgressReporter& reporter,
                                                   std::optional<std::string>& backup_path) {
    auto root = canonical(reporter.plan.scan_root);
    if (!root) return std::unexpected(std::move(root.error()));
    const std::string& path = item.canonical_path;
    if (*root != "/" && !at_or_below(path, *root)) return fail("prefix not found");
    const std::string relative =
        path == *root ? std::string() : path.substr(*root == "/" ? 1 : root->size() + 1);
    const std::string copy = relative.empty() ? reserved.path : join(reserved.path, relative);
    if (auto parents = filesystem::create_backup_parents(reserved, copy); !parents) {
        return std::unexpected(std::move(parents.error().message));
    }
    backup_path = platform::to_utf8_lossy(copy);

    BackupSnapshot snapshot;
    if (auto copied = copy_item_to_backup(path, copy, reserved, item.item_id, snapshot, reporter,
                                          &item.identity);
        !copied) {
        return copied;
    }
    if (auto source = reverify_backup_source(path, snapshot, reporter); !source) return source;
    emit_cleanup_progress(reporter, "verifying_backup", copy, item.item_id, ForceReport::Yes);
    if (auto still = filesystem::check_reserved_dir(reserved); !still) {
        return std::unexpected(std::move(still.error().message));
    }
    auto count = verify_backup_copy(copy, snapshot, reporter);
    if (!count) return std::unexpected(std::move(count.error()));
    if (*count != snapshot.copy().size()) return fail(kBackupLostEntry);
    if (auto source = reverify_backup_source(path, snapshot, reporter); !source) return source;
    if (auto guard = step_guard(reporter, path, item.identity); !guard) {
        return std::unexpected(std::move(guard.error()));
    }
    return remove_item(path, item.identity, item.item_id, OverwriteFiles::No, &snapshot, reporter);
}

}  // namespace bramvelt::cleanup
