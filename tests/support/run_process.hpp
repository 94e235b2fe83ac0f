#pragma once
// Runs a program to completion and collects what it printed, for end-to-end tests of the
// built binary and of helper programs.

#include <optional>
#include <string>
#include <vector>

namespace bramvelt::testing {

struct ProcessResult {
    int status = -1;  // exit code, or 128 + signal when a signal ended it
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string input;                                    // written to standard input
    std::optional<std::vector<std::string>> environment;  // "NAME=value"; absent inherits
    std::string cwd;                                      // empty keeps ours
};

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const RunOptions& options = {});

// The built bramvelt with the given arguments.
ProcessResult run_bramvelt(const std::vector<std::string>& args, const RunOptions& options = {});

}  // namespace bramvelt::testing
