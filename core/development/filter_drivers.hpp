#pragma once
// A clean or smudge filter is the one program that a repository's own configuration can
// make a reading Git command start: a status hashes every file that looks changed through
// the filter its attributes name. Each driver the repository's configuration defines is
// therefore emptied for every command that may hash files (see git_runner.hpp), and these
// find the drivers: from the configuration files themselves when that is certain, else
// from Git's own listing. Drivers defined only in the user's or the system's
// configuration are the user's own programs and stay as they are.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bramvelt::development {

struct FilterDrivers {
    std::vector<std::string> names;  // sorted, without duplicates
};

// What one configuration file defines, read the way Git reads section headers. Every "["
// is tried as the start of a header, so whatever Git would take for one is found, and
// some text of values or comments may add names that define nothing (emptying a driver
// that does not exist changes nothing).
struct ConfigScan {
    std::vector<std::string> filter_names;
    bool includes = false;  // an include or includeIf section: other files hold more
    bool unsure = false;    // a header too long to follow
};
ConfigScan scan_config_text(std::string_view text);

// The drivers defined by the repository's configuration file and by every worktree's
// config.worktree below its common Git directory, read without running Git. Nothing when
// a file includes others, cannot be read whole, is no regular file or is too large:
// only Git can tell then.
std::optional<FilterDrivers> read_filter_drivers(std::string_view common_dir);

// The query that asks Git which configuration a command in a folder sees (every key with
// its scope), and the drivers its answer defines in repository or worktree scope.
const std::vector<std::string>& filter_listing_args();
FilterDrivers parse_filter_listing(std::string_view output);

}  // namespace bramvelt::development
