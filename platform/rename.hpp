#pragma once
// Renaming an entry between two open folders without ever replacing what is at the new
// name (renameat2 with RENAME_NOREPLACE).

#include <expected>

namespace bramvelt::platform {

// The error is errno: EEXIST when the new name is taken, EINVAL when the file system
// cannot rename without replacing (the caller decides what to do then; nothing moved).
std::expected<void, int> rename_no_replace(int old_dirfd, const char* old_name, int new_dirfd,
                                           const char* new_name);

}  // namespace bramvelt::platform
