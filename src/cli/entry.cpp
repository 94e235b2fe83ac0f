#include "src/cli/entry.hpp"

#include <fmt/format.h>
#include <algorithm>

#include "platform/immediate_exit.hpp"
#include "platform/real_path.hpp"
#include "platform/resource_exhaustion.hpp"
#include "platform/standard_streams.hpp"
#include "platform/utf8.hpp"
#include "src/cli/commands.hpp"
#include "src/cli/errors.hpp"
#include "src/cli/usage.hpp"
#include "src/tui/run.hpp"

namespace bramvelt::cli {
namespace {

int write_and_flush(platform::Writer& out, std::string_view text) {
    const bool written = out.write(text);
    const bool flushed = out.flush();
    return written && flushed ? 0 : 1;
}

bool is_help(std::string_view a) {
    return a == "--help" || a == "-h";
}

int ui_command(std::span<const std::string> args, CliStreams& io) {
    const auto rest = args.subspan(1);
    std::vector<std::string> folders;
    for (const auto& a : rest) {
        if (a != "--") folders.push_back(a);
    }
    if (folders.empty()) {
        return run_interactive(UiOptions{}, io);
    }
    if (std::ranges::any_of(folders, [](const std::string& a) { return is_help(a); })) {
        return write_and_flush(io.out, kUsageText);
    }
    const bool separator = std::ranges::find(rest, "--") != rest.end();
    const bool is_dash_folder_without_separator = folders[0].starts_with('-') && !separator;
    if (folders.size() > 1 || is_dash_folder_without_separator) {
        print_cli_error(io.err, "usage: bramvelt ui [folder]");
        return 2;
    }
    const std::string& folder = folders[0];
    const auto resolved = platform::real_directory(folder);
    if (!resolved) {
        print_cli_error(io.err, fmt::format("not a directory: {}", folder));
        return 2;
    }
    UiOptions options;
    options.folder = *resolved;  // as bytes: the folder's real path need not be UTF-8
    return run_interactive(options, io);
}

int development_entry(std::span<const std::string> args, CliStreams& io) {
    if (args.size() > 1) {
        for (const auto& a : args.subspan(1)) {
            if (a == "--") break;
            if (is_help(a)) return write_and_flush(io.out, kUsageText);
        }
    }
    return development_command(args, io);
}

// A failure no command could turn into a value of its own (memory ran out), told as
// a command's own failure would be.
int report_unhandled_failure(CliStreams& io, std::span<const std::string> args,
                             const std::exception_ptr& error) {
    report_failure_after_output(io.out, io.err, json_requested(args), "scanFailed",
                                platform::exception_text(error));
    return 1;
}

}  // namespace

int usage_error(CliStreams& io, bool json, std::string_view message) {
    if (json) {
        write_json_error(io.out, "invalidArguments", message);
    } else {
        print_cli_error(io.err, message);
    }
    return 2;
}

bool json_requested(std::span<const std::string> args) {
    for (const auto& a : args) {
        if (a == "--") return false;
        if (a == "--json") return true;
    }
    return false;
}

int run_interactive(const UiOptions& options, CliStreams& io) {
    if (!io.terminal) {
        print_cli_error(io.err,
                        "the interactive UI needs a terminal; use scan, dev or clean for scripts");
        return 2;
    }
    auto result = io.run_interface ? io.run_interface(options) : tui::run_tui(options);
    if (!result) {
        print_cli_error(io.err, result.error());
        return 1;
    }
    return 0;
}

int cli_main(const std::vector<std::string>& args, CliStreams& io) {
    if (args.empty() && io.terminal) {
        return run_interactive(UiOptions{}, io);
    }
    for (const auto& a : args) {
        if (!platform::is_valid_utf8(a)) {
            print_cli_error(io.err, "non-Unicode command arguments are unsupported");
            return 2;
        }
    }
    if (args.empty()) {
        return write_and_flush(io.out, kUsageText);
    }
    const std::string& first = args[0];
    if (first == "ui" || first == "tui") {
        return ui_command(args, io);
    }
    if (first == "dev" || first == "clean") {
        return development_entry(args, io);
    }
    const bool json = json_requested(args);
    if (args.size() == 1) {
        if (first == "-h" || first == "help" || first == "--help") {
            return write_and_flush(io.out, kUsageText);
        }
        if (first == "-V" || first == "--version" || first == "version") {
            return write_and_flush(io.out, fmt::format("bramvelt {}\n", kVersion));
        }
    }
    if (first == "scan" || first == "open") {
        if (args.size() == 1) {
            return usage_error(io, json, "provide a folder");
        }
        return scan_or_open_command(args, json, io);
    }
    return usage_error(io, json, fmt::format("unknown command: {}", first));
}

int cli_main(int argc, char** argv) {
    std::vector<std::string> args;
    args.reserve(argc > 0 ? static_cast<std::size_t>(argc - 1) : 0);
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    platform::FdWriter out(platform::kStandardOutput);
    platform::FdWriter err(platform::kStandardError, 0);
    bool interface_ran = false;
    CliStreams io{out, err,
                  platform::is_terminal(platform::kStandardInput) &&
                      platform::is_terminal(platform::kStandardOutput),
                  [&interface_ran](const UiOptions& options) {
                      interface_ran = true;
                      return tui::run_tui(options);
                  }};
    // `clean` tells by its status what happened on disk; a lost report does not change it.
    const bool output_decides = args.empty() || args[0] != "clean";
    int status = 1;
    try {
        status = cli_main(args, io);
    } catch (...) {
        status = report_unhandled_failure(io, args, std::current_exception());
    }
    args.clear();
    if (!out.flush() && output_decides && status == 0) {
        status = 1;
    }
    if (interface_ran) {
        // The interface's scan threads are detached and may still be running; static
        // destructors under live threads are undefined, so the process ends here, with
        // the terminal restored and everything printed and flushed.
        (void)err.flush();
        platform::immediate_exit(status);
    }
    return status;
}

}  // namespace bramvelt::cli
