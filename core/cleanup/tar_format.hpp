#pragma once
// The pieces of the backup archive's tar stream: GNU entry headers (numbers in octal, or
// base-256 when too large), pax extended records, and the encodings their values use.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/filesystem/identity.hpp"

namespace bramvelt::cleanup {

inline constexpr std::size_t kTarBlock = 512;
using TarBlock = std::array<char, kTarBlock>;
// The size of the name and link-name fields; a text that fills one needs no NUL.
inline constexpr std::size_t kTarNameField = 100;

struct TarEntryHeader {
    std::string_view name;  // only its first 100 bytes are stored here
    std::uint64_t mode = 0;
    std::uint64_t uid = 0;
    std::uint64_t gid = 0;
    std::uint64_t size = 0;
    std::int64_t mtime_seconds = 0;
    char typeflag = '0';
    std::string_view link_name;  // only its first 100 bytes are stored here
};

// A GNU header ("ustar " with a space and a NUL), its checksum filled in.
TarBlock gnu_header(const TarEntryHeader& entry);
// The header of a pax extended header entry ("ustar" NUL, "00") carrying `size` bytes.
TarBlock pax_header(std::uint64_t size);

// One record: its decimal length (counting its own digits), a space, key=value, newline.
std::string pax_record(std::string_view key, std::string_view value);
// Signed nanoseconds as seconds, ".", and nine digits; "-" before a negative time.
std::string pax_time(filesystem::int128_t nanoseconds);
// Letters, digits, "-", "." and "_" kept; every other byte as "%" and two upper-case digits.
std::string escape_attribute_name(std::string_view name);
// Standard alphabet, "=" padding.
std::string base64(std::string_view bytes);

// Zero bytes that bring `size` up to a multiple of 512.
std::size_t tar_padding(std::uint64_t size);

}  // namespace bramvelt::cleanup
