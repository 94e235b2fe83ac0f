#pragma once
// The machine's host name as the system reports it: the bytes up to the first zero byte
// of a 256-byte buffer; absent when the call fails.

#include <optional>
#include <string>

namespace bramvelt::platform {

std::optional<std::string> host_name();

}  // namespace bramvelt::platform
