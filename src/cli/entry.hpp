#pragma once
// The program's entry: argument checks, dispatch to the commands, and the one road into
// the terminal interface.

#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/writer.hpp"
#include "src/tui/run.hpp"

namespace bramvelt::cli {

using tui::UiOptions;

// Starts the full-screen interface and returns when it has ended.
using InterfaceRunner = std::function<std::expected<void, std::string>(const UiOptions&)>;

// The process's standard streams as the commands see them.
struct CliStreams {
    platform::Writer& out;
    platform::Writer& err;
    bool terminal;  // standard input and standard output are both terminals
    // The interface to start; empty starts the real one. Tests put their own here.
    InterfaceRunner run_interface = {};
};

// Runs the command line for the arguments after the program name (raw bytes).
int cli_main(const std::vector<std::string>& args, CliStreams& io);

// The process entry: collects argv, sets up the standard streams and runs cli_main.
// Once the interface has run, it ends the process itself (see entry.cpp).
int cli_main(int argc, char** argv);

// Opens the terminal interface when there is a terminal; otherwise a usage error.
int run_interactive(const UiOptions& options, CliStreams& io);

// Reports a usage error (code "invalidArguments") as the JSON error document when `json`
// is set, else as an error line; returns the usage status 2.
int usage_error(CliStreams& io, bool json, std::string_view message);

// "--json" among `args` before the first "--".
bool json_requested(std::span<const std::string> args);

}  // namespace bramvelt::cli
