#pragma once
// What copying an item into a backup recorded for every entry (identities of the source
// entries and of their copies, every file's SHA-256, the metadata a copy carries over),
// and the checks that prove, before the item is removed, that the backup holds exactly
// what the item held and that the item did not change meanwhile.
//
// Only attributes in the `user.` namespace are copied and compared: the others Linux lists
// (security labels, access control lists) cannot be set by an ordinary account and differ
// from place to place, so they would fail or mismatch on every copy.

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/cleanup/progress_reporter.hpp"
#include "core/cleanup/tree_snapshot.hpp"
#include "core/filesystem/identity.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kSourceMetadataChanged = "Source metadata changed";
inline constexpr std::string_view kBackupMetadataChanged =
    "Verified source or backup metadata changed; original kept";
inline constexpr std::string_view kBackupContentChanged =
    "Verified source or backup content changed; original kept";
inline constexpr std::string_view kBackupGainedEntry =
    "Backup gained an unexpected entry; original kept";
inline constexpr std::string_view kBackupChangedBeforeCleanup =
    "Backup changed before cleanup; original kept";
inline constexpr std::string_view kCopiedAttributePrefix = "user.";

struct MetadataSnapshot {
    std::optional<std::string> link_target;         // a symbolic link's own target
    std::map<std::string, std::string> attributes;  // `user.` attributes, by name
    std::uint32_t mode = 0;                         // permission bits, st_mode & 07777

    friend bool operator==(const MetadataSnapshot&, const MetadataSnapshot&) = default;
};

// The same path however written: repeated separators, "." components and a trailing
// separator do not count.
std::string backup_key(std::string_view path);

// Filled once while an item is copied, then only read. Every path goes through backup_key.
class BackupSnapshot {
  public:
    void record_source(std::string_view path, const filesystem::FileIdentity& identity);
    void record_copy(std::string_view path, const filesystem::FileIdentity& identity);
    void record_digest(std::string_view path, std::string sha256);
    void record_metadata(std::string_view path, MetadataSnapshot metadata);

    const TreeSnapshot& source() const { return source_; }
    const TreeSnapshot& copy() const { return copy_; }
    const std::string* digest(std::string_view path) const;
    const MetadataSnapshot* metadata(std::string_view path) const;

  private:
    TreeSnapshot source_;
    TreeSnapshot copy_;
    std::map<std::string, std::string, std::less<>> digests_;
    std::map<std::string, MetadataSnapshot, std::less<>> metadata_;
};

// The entry itself, a final link not followed.
std::expected<MetadataSnapshot, std::string> snapshot_metadata(std::string_view path);

// A source or copy entry still has the metadata and (for a file) the content recorded for
// it, and `identity`. Reading a file puts its access time back afterwards.
std::expected<void, std::string> verify_backup_entry(std::string_view path,
                                                     const filesystem::FileIdentity& identity,
                                                     const BackupSnapshot& snapshot,
                                                     const ProgressReporter& reporter);

// The copy tree at `path`, entry by entry, none added. Returns how many entries it found,
// which the caller compares with the copy map's size to see an entry lost.
std::expected<std::uint64_t, std::string> verify_backup_copy(std::string_view path,
                                                             const BackupSnapshot& snapshot,
                                                             const ProgressReporter& reporter);

// The source tree at `path` is unchanged in shape and identity, and every entry still
// matches what was recorded.
std::expected<void, std::string> reverify_backup_source(std::string_view path,
                                                        const BackupSnapshot& snapshot,
                                                        const ProgressReporter& reporter);

}  // namespace bramvelt::cleanup
