#pragma once
// Starts the full-screen interface and runs it until the user quits.

#include <expected>
#include <string>

#include "src/cli/entry.hpp"

namespace bramvelt::tui {

std::expected<void, std::string> run_tui(const cli::UiOptions& options);

}  // namespace bramvelt::tui
