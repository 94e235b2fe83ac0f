#pragma once
// The commands the entry hands over to once the arguments are known to be UTF-8 and
// the first word is chosen.

#include <span>
#include <string>

#include "src/cli/entry.hpp"

namespace bramvelt::cli {

// `scan` and `open` (args[0] names which) with at least one more argument.
int scan_or_open_command(std::span<const std::string> args, bool json, CliStreams& io);

// `dev` and `clean` (args[0] names which) with everything after the help check.
int development_command(std::span<const std::string> args, CliStreams& io);

}  // namespace bramvelt::cli
