#pragma once
// The information file that records where a trashed entry came from and when, so a
// file manager can list it and put it back.

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace bramvelt::trash_host {

inline constexpr std::string_view kTrashInfoSuffix = ".trashinfo";

// The path's bytes as a URL escapes them: letters, digits, "-_.!~*'()" and "/" stay,
// every other byte (a space, "%", control characters, bytes of 0x80 and above) becomes
// "%XX" with upper-case digits.
std::string percent_encode_path(std::string_view path);

// `when` in the local time zone as YYYY-MM-DDThh:mm:ss; nothing for a time the calendar
// cannot hold.
std::optional<std::string> deletion_date(std::time_t when);

// "[Trash Info]", "Path=" with the encoded path, "DeletionDate=" with the date, each on
// its own line; nothing when the date cannot be written.
std::optional<std::string> trash_info_contents(std::string_view original_path,
                                               std::time_t deleted_at);

}  // namespace bramvelt::trash_host
