#pragma once
// The host's one job: move the requested entry into the trash of its file system after
// checking, through its opened parent folder, that it is still the entry the request
// names. The information file is written first; the entry is then renamed into the
// trash without ever replacing anything, and checked again where it landed.

#include <expected>
#include <string_view>

#include "tools/trash_host/request.hpp"
#include "tools/trash_host/trash_directory.hpp"

namespace bramvelt::trash_host {

// The entry's name in the trash: `name` for the first try, then `name`.2, `name`.3, ...
// cut at a character boundary where needed, so that the name with ".trashinfo" added
// still fits in one file-name component.
std::string trash_name(std::string_view name, unsigned attempt);

// Success, or the failure's text: kItemUnavailable (the parent or the entry cannot be
// read), kItemChanged (device, inode or kind differ, before or after the move; an entry
// that is not the requested one is put back when its place is still free), kTrashFailed
// (no usable trash, or the information file or the rename failed; nothing was moved).
std::expected<void, std::string_view> move_to_trash(const TrashRequest& request,
                                                    const TrashEnvironment& environment);

// Test seam: called right before each rename into the trash, so a test can swap the
// entry in that window. Not for production callers.
void set_before_rename_hook_for_testing(void (*hook)());

}  // namespace bramvelt::trash_host
