#pragma once
// Reads of the user database (passwd).

#include <sys/types.h>

#include <optional>
#include <string>

namespace bramvelt::platform {

// The home folder field of the account record of `uid`, as raw bytes; nothing when there
// is no record, the record has no home field, or the lookup fails. The lookup buffer
// starts at 64 KiB and doubles while the system says it is too small, up to 1 MiB.
std::optional<std::string> account_home(uid_t uid);

// The real user ID of this process (getuid).
uid_t real_user_id();

}  // namespace bramvelt::platform
