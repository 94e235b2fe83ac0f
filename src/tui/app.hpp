#pragma once
// The interface's whole state, owned by the interface thread from start-up to exit.
// Workers never see it: they hold clones of `sender` and send messages.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "src/tui/dev_view.hpp"
#include "src/tui/disk_view.hpp"
#include "src/tui/ui_message.hpp"

namespace bramvelt::tui {

enum class ActiveView : std::uint8_t { Disk = 0, Development = 1 };

// What choosing a launcher row does: scan a folder, open the development view, or
// open the path line.
struct ScanFolder {
    std::string path;
    friend bool operator==(const ScanFolder&, const ScanFolder&) = default;
};
struct OpenDevCleanup {
    friend bool operator==(const OpenDevCleanup&, const OpenDevCleanup&) = default;
};
struct OpenPathInput {
    friend bool operator==(const OpenPathInput&, const OpenPathInput&) = default;
};
using LauncherTarget = std::variant<ScanFolder, OpenDevCleanup, OpenPathInput>;

struct LauncherEntry {
    std::optional<std::pair<std::uint64_t, std::uint64_t>> space;  // used, total bytes
    std::string title;
    std::string detail;
    LauncherTarget target;
    friend bool operator==(const LauncherEntry&, const LauncherEntry&) = default;
};

// How long a status message stays on screen.
inline constexpr std::chrono::seconds kStatusLifetime{4};

struct App {
    explicit App(UiSender s) : sender(std::move(s)) {}

    DiskView disk;
    DevView dev;
    UiSender sender;
    std::vector<LauncherEntry> launcher;
    std::optional<std::string> path_input;  // present while the path line is open
    std::size_t launcher_selected = 0;
    std::optional<std::string> home;
    std::optional<std::string> status;
    std::chrono::steady_clock::time_point status_time;
    std::uint64_t tick = 0;
    ActiveView view = ActiveView::Disk;
    bool help_open = false;
    bool quit = false;
};

void set_status(App& app, std::string text,
                std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

// Whether the status is still shown at `now` (a clock that went back counts as fresh).
bool status_is_fresh(const App& app, std::chrono::steady_clock::time_point now);

}  // namespace bramvelt::tui
