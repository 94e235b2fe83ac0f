#pragma once
// A new folder only this user can enter (mode 0700), with a random name that starts with
// `prefix`, in the system temporary folder ($TMPDIR, else /tmp; a relative one is made
// absolute against the current folder).

#include <expected>
#include <string>
#include <string_view>

namespace bramvelt::platform {

// Its path. The error is errno.
std::expected<std::string, int> make_private_temp_dir(std::string_view prefix);

}  // namespace bramvelt::platform
