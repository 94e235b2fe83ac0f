#pragma once
// Starts the full-screen interface and runs it until the user quits.

#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace bramvelt::tui {

// What the interface is asked to show first.
struct UiOptions {
    std::optional<std::string> folder;                    // map this folder at once
    std::optional<std::vector<std::string>> dev_folders;  // open the development view
    bool verify_remotes = false;
};

std::expected<void, std::string> run_tui(const UiOptions& options);

}  // namespace bramvelt::tui
