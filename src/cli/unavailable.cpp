// Commands that this build does not carry yet answer with one fixed line.

#include <fmt/format.h>

#include "src/cli/commands.hpp"
#include "src/cli/errors.hpp"

namespace bramvelt::cli {

int development_command(std::span<const std::string> args, CliStreams& io) {
    print_cli_error(io.err, fmt::format("{} is not available in this build", args[0]));
    return 1;
}

}  // namespace bramvelt::cli
