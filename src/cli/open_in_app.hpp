#pragma once
// Hands one folder to the companion desktop application. On Linux the desktop's opener
// (`xdg-open`) receives the absolute folder; the program only waits for it.

#include <expected>
#include <string>
#include <string_view>

namespace bramvelt::cli {

// The opener program, looked up in PATH.
inline constexpr std::string_view kCompanionOpener = "xdg-open";

std::expected<void, std::string> open_in_app(std::string_view folder);

}  // namespace bramvelt::cli
