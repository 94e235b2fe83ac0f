#pragma once
// Random bytes from the kernel (getentropy), for names and tokens that must not be guessed.

#include <cstddef>
#include <expected>
#include <string>

namespace bramvelt::platform {

// `bytes` random bytes as 2 × `bytes` lower-case hexadecimal digits. The error is errno.
std::expected<std::string, int> random_hex(std::size_t bytes);

}  // namespace bramvelt::platform
