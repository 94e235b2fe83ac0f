#pragma once
// What a cleanup plan does to every one of its items, and how much work each byte of an
// item costs that action (the weight of a plan's progress).

#include <cstdint>
#include <string>
#include <string_view>

namespace bramvelt::cleanup {

struct CleanupAction {
    enum class Kind : std::uint8_t { Trash, Delete, BackupToFolder, ExternalBackup, Overwrite };
    Kind kind = Kind::Trash;
    std::string destination;  // the folder a BackupToFolder plan reserves its backup under

    static CleanupAction trash() { return {Kind::Trash, {}}; }
    static CleanupAction remove() { return {Kind::Delete, {}}; }
    static CleanupAction backup_to_folder(std::string folder) {
        return {Kind::BackupToFolder, std::move(folder)};
    }
    static CleanupAction external_backup() { return {Kind::ExternalBackup, {}}; }
    static CleanupAction overwrite() { return {Kind::Overwrite, {}}; }

    friend bool operator==(const CleanupAction&, const CleanupAction&) = default;
};

inline constexpr std::string_view kOverwriteCaution =
    "Three overwrite passes cannot guarantee erasure on SSDs, copy-on-write filesystems, "
    "snapshots, backups or remote storage. Files with other hard links are refused. "
    "Full-disk encryption remains important.";

// Trash 0 (the engine moves no bytes itself), Delete 1, either backup 2, Overwrite 3.
constexpr std::uint64_t work_units_per_byte(CleanupAction::Kind kind) {
    switch (kind) {
        case CleanupAction::Kind::Trash:
            return 0;
        case CleanupAction::Kind::Delete:
            return 1;
        case CleanupAction::Kind::BackupToFolder:
        case CleanupAction::Kind::ExternalBackup:
            return 2;
        case CleanupAction::Kind::Overwrite:
            break;
    }
    return 3;
}

// `bytes` weighted by the action, held at the largest value instead of wrapping.
constexpr std::uint64_t work_units(CleanupAction::Kind kind, std::uint64_t bytes) {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(bytes, work_units_per_byte(kind), &product) ? UINT64_MAX
                                                                              : product;
}

}  // namespace bramvelt::cleanup
