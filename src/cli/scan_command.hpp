#pragma once
// The `scan` and `open` commands: their shared option parser and the scan run.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "scan/options.hpp"

namespace bramvelt::cli {

struct ScanCommandOptions {
    std::string folder;
    bool json = false;
    std::optional<std::uint64_t> depth;  // 0..512, limits only the output
    std::optional<std::uint64_t> top;
    unsigned jobs = 4;
    scan::ScanProfile profile = scan::ScanProfile::General;
    bool collapse_packages = true;
    bool skip_links = true;
    bool interactive = false;
    bool help = false;  // --help or -h: print the usage text instead
};

// The online processors capped at 16, or 4 when the system cannot tell.
unsigned default_scan_jobs();

// The command word the options follow: both take a folder, `open` no options.
enum class ScanCommandWord { scan, open };

// Parses the arguments after the command word. The error is the usage error's text.
std::expected<ScanCommandOptions, std::string> parse_scan_options(std::span<const std::string> args,
                                                                  ScanCommandWord word);

}  // namespace bramvelt::cli
