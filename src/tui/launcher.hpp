#pragma once
// The launcher: its entries (this folder, home, the volumes, development cleanup and
// another folder), built once at start-up, and its drawing.

#include <optional>
#include <string>
#include <vector>

#include "src/tui/app.hpp"
#include "src/tui/key_hint.hpp"
#include "src/tui/kit/buffer.hpp"

namespace bramvelt::tui {

// `working_folder` is the current folder's path as bytes (none when it cannot be read);
// only its detail line shows it, with invalid UTF-8 replaced.
std::vector<LauncherEntry> build_launcher_entries(const std::optional<std::string>& working_folder,
                                                  const std::optional<std::string>& home,
                                                  std::vector<LauncherEntry> volumes);

// The working folder, as the bytes that open it.
std::optional<std::string> launcher_working_folder();

KeyHints draw_launcher(const App& app, kit::Buffer& buf, kit::Rect body);

}  // namespace bramvelt::tui
