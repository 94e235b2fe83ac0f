#pragma once
// Turns one key or wheel event into a change of the App. Who gets a key is decided in
// a fixed order: Ctrl-C (stop running work, else quit), the help overlay, the global
// keys (unless a text line is open), then the screen in front with its text lines.

#include <chrono>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/tui/app.hpp"
#include "src/tui/disk_scan.hpp"
#include "src/tui/kit/input.hpp"

namespace bramvelt::tui {

// How long the open key waits for the opener before counting it as opened.
inline constexpr std::chrono::milliseconds kOpenerWait{3000};

// What handling a key needs from outside the App; tests replace these.
struct KeyServices {
    // Hands a folder to the companion application; waits for the opener only briefly,
    // since the interface cannot answer while it waits.
    std::function<std::expected<void, std::string>(std::string_view)> open_in_app;
    ThreadStarter start_thread = WorkerThread::start;
    static KeyServices real();
};

// Whether the screen must be written again in full (another program may have drawn on
// it), or only its changes.
enum class Repaint { Changes, Full };

Repaint handle_key(App& app, const kit::KeyEvent& key, const KeyServices& services);

// Pasted text goes into whichever text line is open (the launcher's path line, the
// filter, the development search or folder list); anywhere else it is dropped, so a
// paste never acts as keys. Returns whether a line changed.
bool handle_paste(App& app, std::string_view text);

// One wheel step: the disk table by three rows, the launcher by one entry.
void apply_wheel(App& app, const kit::MouseEvent& mouse);

// Shows the development view; searches the folders when given, else searches the usual
// development locations once, the first time the view opens.
void open_dev_view(App& app, std::optional<std::vector<std::string>> folders,
                   const ThreadStarter& start = WorkerThread::start);

}  // namespace bramvelt::tui
