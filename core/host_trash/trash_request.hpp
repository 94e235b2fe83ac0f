#pragma once
// The request the Trash host reads: the item's device, inode and kind as the host must
// find them, and its path, as one compact JSON object of strings. The path travels only
// as data.

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "core/filesystem/identity.hpp"

namespace bramvelt::host_trash {

inline constexpr std::size_t kMaxTrashRequestBytes = 65536;

// {"device":"…","inode":"…","kind":"…","path":"…"} with the numbers as unsigned decimal
// text. kCannotEncodeRequest for a path or kind that is not UTF-8 (JSON carries text
// only), kRequestTooLarge past kMaxTrashRequestBytes.
std::expected<std::string, std::string> encode_trash_request(
    const filesystem::FileIdentity& identity, std::string_view path);

}  // namespace bramvelt::host_trash
