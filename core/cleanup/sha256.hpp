#pragma once
// SHA-256 of an open file, read in 256 KiB pieces and stopped by the run's cancel flag,
// and the lowercase hexadecimal text the backup checks compare digests as.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "platform/cancel_flag.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kBackupVerificationCancelled = "Backup verification cancelled";
inline constexpr std::string_view kBackupSizeOverflow = "Backup size overflow";
inline constexpr std::size_t kHashChunk = 256 * 1024;

struct FileDigest {
    std::string sha256;  // 64 lowercase hexadecimal digits
    std::uint64_t bytes = 0;
};

// From the descriptor's current offset to its end.
std::expected<FileDigest, std::string> hash_file_sha256(int fd, const CancelFlag& cancel);

// Two lowercase hexadecimal digits per byte.
std::string hex_lower(std::string_view bytes);

}  // namespace bramvelt::cleanup
