#pragma once
// Finding, and where needed creating, the trash that takes an entry: the home trash for
// an entry on its file system, else a trash under the entry's top directory. Nothing is
// ever copied between file systems, so an entry with no usable trash on its own file
// system cannot be trashed.

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "platform/fd.hpp"

namespace bramvelt::trash_host {

// What the host reads of its environment, passed in so tests choose every value.
struct TrashEnvironment {
    std::string home;           // HOME; empty when unset
    std::string xdg_data_home;  // XDG_DATA_HOME; empty when unset
    uid_t uid = 0;              // names the per-user trashes under a top directory
};

// An opened trash: its two folders, and how the information file records the entry's
// original place.
struct TrashDirectory {
    platform::Fd files;
    platform::Fd info;
    // Empty for the home trash, whose records hold absolute paths; otherwise the top
    // directory the recorded paths are relative to.
    std::string top_directory;
};

// The home trash's folder: $XDG_DATA_HOME/Trash when that variable holds an absolute
// path, else $HOME/.local/share/Trash; empty when neither is usable.
std::string home_trash_path(const TrashEnvironment& environment);

// The trash for an entry of `device` whose parent folder is `parent_folder` (a real
// path): the home trash when it is on that device, a top-directory trash only when the
// home trash is known to be on another one. Folders it creates get mode 0700. The error
// is errno of the step that failed (EXDEV when no trash on the entry's file system could
// be used, ENOENT when the environment names no home trash at all).
std::expected<TrashDirectory, int> open_trash_for(const TrashEnvironment& environment,
                                                  std::string_view parent_folder,
                                                  std::uint64_t device);

}  // namespace bramvelt::trash_host
