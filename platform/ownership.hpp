#pragma once
// Whose an entry is and who may use it, for files and folders that must stay private to
// the account the program runs as.

#include <expected>

namespace bramvelt::platform {

// Whether the entry open at `fd` belongs to this process's effective user. The error is
// errno.
std::expected<bool, int> owned_by_this_account(int fd);

// Leaves the entry open at `fd` readable and writable by its owner alone (mode 0600),
// whatever the umask made of the mode it was created with. The error is errno.
std::expected<void, int> make_private(int fd);

}  // namespace bramvelt::platform
