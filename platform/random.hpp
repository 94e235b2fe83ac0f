#pragma once
// Random bytes from the kernel (getentropy), for names and tokens that must not be guessed.

#include <cstddef>
#include <expected>
#include <span>
#include <string>

namespace bramvelt::platform {

// Fills `out` with random bytes. The error is errno.
std::expected<void, int> random_bytes(std::span<unsigned char> out);

// `bytes` random bytes as 2 × `bytes` lower-case hexadecimal digits. The error is errno.
std::expected<std::string, int> random_hex(std::size_t bytes);

}  // namespace bramvelt::platform
