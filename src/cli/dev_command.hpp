#pragma once
// The `dev` command: resolves the folders, runs one development search under the
// interrupt bridge while a progress line runs on standard error, and prints the finds as
// a text report or one JSON document. Also the failure report that `clean` shares.

#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/development/types.hpp"
#include "platform/cancel_flag.hpp"
#include "platform/writer.hpp"
#include "src/cli/dev_options.hpp"
#include "src/cli/dev_sink.hpp"

namespace bramvelt::cli {

// What a search needs beyond the request. The defaults are the real search and clock;
// tests put their own finds and time in.
struct DevCommandEnv {
    // Runs the search and erases its progress line when it drew one.
    std::function<std::expected<DevSearchResult, std::string>(
        development::DevScanRequest request, CancelFlag cancel, platform::Writer& err,
        ProgressLine progress)>
        search;
    std::function<std::uint64_t()> now;  // Unix seconds
    bool err_is_terminal = false;
};

// The environment of a real run: the real search, the system clock, and whether
// standard error is a terminal.
DevCommandEnv real_dev_command_env();

// Exit status: 0 finished, 1 search or output failure, 2 a folder cannot be resolved,
// 3 the search hit its limits, 130 interrupted.
int dev_command(const DevCommandOptions& options, platform::Writer& out, platform::Writer& err,
                const DevCommandEnv& env);

// The search of `dev` and `clean`: depth 8, 2,000,000 entries, the progress line only
// when it is wanted and standard error is a terminal.
std::expected<DevSearchResult, std::string> run_dev_scan_with_progress(
    bool verify_remotes, std::span<const std::string> folders, CancelFlag cancel,
    ProgressLine wanted, platform::Writer& err, const DevCommandEnv& env);

// One failure: {"error":{"code":..,"message":..},"schemaVersion":1} on standard output
// with `json`, else "bramvelt: {escaped message}" on standard error. Write failures are
// ignored.
void report_cli_failure(platform::Writer& out, platform::Writer& err, bool json,
                        std::string_view code, std::string_view message);

}  // namespace bramvelt::cli
