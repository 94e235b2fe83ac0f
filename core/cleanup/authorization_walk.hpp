#pragma once
// The walk that authorizes an item: the identity of the item and of everything below it,
// read through directory descriptors without following a link and without leaving the
// item's file system, and its bytes. The same walk, taken again, tells whether anything
// changed since.

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "core/cleanup/removal_rules.hpp"
#include "core/cleanup/tree_snapshot.hpp"
#include "core/filesystem/identity.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kItemChangedSinceConfirmation =
    "Item changed since confirmation; refresh before cleanup";
inline constexpr std::string_view kTooManyEntries =
    "Selection exceeds supported file count; choose smaller groups";
inline constexpr std::string_view kSnapshotIncomplete = "Backup snapshot is incomplete";
inline constexpr std::string_view kSourceChanged =
    "Source changed during backup; backup retained and original kept";

// Bytes in the two measures a plan counts, both saturating: what a removal frees, and
// what a copy reads or an overwrite pass writes.
struct TreeBytes {
    std::uint64_t bytes = 0;       // the review's measure (item_bytes.hpp)
    std::uint64_t file_bytes = 0;  // the sizes of the regular files, each of their paths once
};

struct ItemSnapshot {
    std::uint64_t bytes = 0;       // as in TreeBytes
    std::uint64_t file_bytes = 0;  // as in TreeBytes
    std::shared_ptr<const TreeSnapshot> snapshot;
};

// The item at `canonical_path` (a real path: its parent is opened with no link followed
// anywhere) must still have the device, inode and kind of `authorized`; then the item and,
// for a folder, every entry below it are recorded. A special file fails.
std::expected<ItemSnapshot, std::string> snapshot_authorized_item(
    std::string_view canonical_path, const filesystem::FileIdentity& authorized,
    const RemovalRules& rules, const CancelFlag& cancel);

// Everything below the open folder `dir_fd` (whose path is `folder_path`) into `snapshot`;
// the bytes of the entries below it in both measures. Depth first with one descriptor per
// level, its levels kept on the heap: a tree deeper than the descriptor limit fails with the
// system's text.
std::expected<TreeBytes, std::string> count_removal_tree(int dir_fd, std::string_view folder_path,
                                                         std::uint64_t root_device,
                                                         const RemovalRules& rules,
                                                         const CancelFlag& cancel,
                                                         TreeSnapshot& snapshot);

// A fresh snapshot of `path` (no policy) has exactly the entries of `stored`, each with
// the same six identity fields.
std::expected<void, std::string> verify_snapshot_unchanged(std::string_view path,
                                                           const TreeSnapshot& stored,
                                                           const CancelFlag& cancel,
                                                           policy::Acknowledgement acknowledged);

}  // namespace bramvelt::cleanup
