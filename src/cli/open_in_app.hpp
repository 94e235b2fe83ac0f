#pragma once
// Hands one folder to the companion desktop application. On Linux the desktop's opener
// (`xdg-open`) receives the absolute folder; the program only waits for it.

#include <chrono>
#include <expected>
#include <string>
#include <string_view>

namespace bramvelt::cli {

// The opener program, looked up in PATH.
inline constexpr std::string_view kCompanionOpener = "xdg-open";

// Waits until the opener exits, however long that takes.
std::expected<void, std::string> open_in_app(std::string_view folder);

// Waits at most `limit`, for callers that must keep answering: an opener that exits by
// then reports as above; one still running counts as opened (`xdg-open` often stays in
// the foreground with the application it started) and is left to run, never killed,
// and reaped by a detached thread once it ends.
std::expected<void, std::string> open_in_app_within(std::string_view folder,
                                                    std::chrono::milliseconds limit);

}  // namespace bramvelt::cli
