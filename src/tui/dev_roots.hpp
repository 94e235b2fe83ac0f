#pragma once
// The folders a development search is given, from every road into it. The search takes
// its folders as text, so a folder whose path is not UTF-8 cannot be searched: its text,
// with U+FFFD in place of the bad bytes, names another folder, which may exist. Every
// road therefore keeps a folder's bytes, and the search's start refuses the ones that
// are not UTF-8 by name, rather than search what their text would name.

#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bramvelt::tui {

// The header's error for a refused search; the refused folders follow it.
inline constexpr std::string_view kFoldersNotUtf8 =
    "Folder names that are not UTF-8 text cannot be searched:";

// The absolute real paths of typed folders (relative ones from the working folder), or
// the first one's error text, as the command line resolves them; except that a folder
// whose path or real path is not UTF-8 comes back as those bytes, for the search's start
// to refuse. No folder gives "/", the usual development locations.
std::expected<std::vector<std::string>, std::string> resolve_search_folders(
    std::span<const std::string> folders);

// The roots a search cannot take, in their order.
std::vector<std::string> roots_not_utf8(std::span<const std::string> roots);

// The bytes of a folder the disk view shows. `root` is the scanned folder's bytes,
// `root_text` the text the tree gives it and `shown` the text of the folder at or below
// it. The tree holds text: a name with U+FFFD in it may stand for bytes that are not
// UTF-8, or for that very text. Where the folder holding it has a name that is not
// UTF-8 and reads as that text, the name is taken (so the search refuses it) even when a
// folder of the text itself is there too: the text cannot tell which one is shown. The
// error is a folder that cannot be listed to tell.
std::expected<std::string, std::string> shown_folder_bytes(std::string_view root,
                                                           std::string_view root_text,
                                                           std::string_view shown);

}  // namespace bramvelt::tui
