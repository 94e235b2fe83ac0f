#pragma once
// The Delete action: an authorized item removed for good. A file or a link goes through
// its opened parent (renamed to a private name, checked again there, then unlinked); a
// folder is emptied by a walk that works only through directory descriptors, never
// follows a link and never leaves the item's file system, then removed. Nothing removed
// before a failure is restored.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "core/cleanup/item_bytes.hpp"
#include "core/cleanup/progress_reporter.hpp"
#include "core/cleanup/removal_rules.hpp"
#include "core/filesystem/identity.hpp"
#include "core/filesystem/parent_handle.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kSpecialNeverRemoved = "Special entries are never removed";
inline constexpr std::string_view kDirectoryReplaced = "Directory replaced during cleanup";

// The item folder is confirmed again after every this many entries of its walk.
inline constexpr std::uint64_t kRecheckInterval = 1024;

// `path` is the item's canonical path and `identity` its authorized identity. Reports
// stage "removing"; every entry removed is counted in `removed` and its bytes added to
// the reporter's bytes_done, so a removal that stops part way tells what went before.
std::expected<void, std::string> remove_permanently(std::string_view path,
                                                    const filesystem::FileIdentity& identity,
                                                    std::string_view item_id,
                                                    const RemovalRules& rules,
                                                    ProgressReporter& reporter, ItemBytes& removed);

// Empties the open folder `dir_fd` (path `folder_path`), depth first with one descriptor
// per level kept on the heap; the caller removes the folder itself. Every 1,024 entries
// of the walk (`entries` counts them across the item) the item is read again through its
// parent `item` and must still be the authorized folder. Each entry removed is counted
// in `removed`.
std::expected<void, std::string> remove_tree(int dir_fd, std::string_view folder_path,
                                             std::uint64_t root_device, std::string_view item_id,
                                             const RemovalRules& rules,
                                             const filesystem::ParentHandle& item,
                                             const filesystem::FileIdentity& item_identity,
                                             std::uint64_t& entries, ProgressReporter& reporter,
                                             ItemBytes& removed);

// Test seam: called with each entry's path once a removal has taken and counted it, so a
// test can stop a removal part way (by throwing, as memory that runs out would). Not for
// production callers.
void set_after_entry_removed_hook_for_testing(void (*hook)(std::string_view path));

}  // namespace bramvelt::cleanup
