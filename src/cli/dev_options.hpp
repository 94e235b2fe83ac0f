#pragma once
// The options of `dev` and `clean`. One parser serves both; the `clean` flag switches the
// few options and category words that only one of them takes.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/development/types.hpp"
#include "src/cli/dev_category.hpp"

namespace bramvelt::cli {

inline constexpr std::size_t kMaxCommandFolders = 32;

// The command whose options are parsed.
enum class DevVerb : std::uint8_t { Dev, Clean };

// What `clean` does with an item; Unset means neither --trash nor --delete was given
// (the command then moves to the Trash).
enum class CleanAction : std::uint8_t { Trash = 0, Delete = 1, Unset = 2 };

struct DevCommandOptions {
    std::optional<std::size_t> top;
    std::vector<std::string> folders;               // as typed, not resolved
    std::vector<DevCategory> categories;            // empty: every category (dev)
    std::vector<development::CandidateKind> kinds;  // empty: every kind
    std::uint64_t older_than_days = 0;              // 0: no age limit
    std::uint64_t min_size = 0;                     // bytes; 0: no size limit
    bool json = false;
    bool verify_remotes = false;
    bool interactive = false;     // dev only
    bool yes = false;             // clean only
    bool accept_caution = false;  // clean only
    DevSortOrder sort = DevSortOrder::Largest;
    CleanAction action = CleanAction::Unset;
};

// Parses `args` (the command word first, then everything after it) or returns the first
// usage error's text. `clean` with no --category gets the one category Rebuildable.
std::expected<DevCommandOptions, std::string> parse_dev_options(std::span<const std::string> args,
                                                                DevVerb verb);

}  // namespace bramvelt::cli
