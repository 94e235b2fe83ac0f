#pragma once
// One whole screen drawn from the App: background, title bar with the view tabs, the
// body (launcher or disk view), the footer's key hints, the status box and the help
// overlay. Changes nothing but the buffer, except the disk table's scroll and page.

#include <chrono>

#include "src/tui/app.hpp"
#include "src/tui/disk_draw.hpp"
#include "src/tui/key_hint.hpp"
#include "src/tui/kit/buffer.hpp"

namespace bramvelt::tui {

void draw_frame(App& app, kit::Buffer& buf, kit::Rect area,
                const DrawClock& clock = DrawClock::now());

// The help overlay's rows (key, description) for the screen in front.
KeyHints help_rows(const App& app);

}  // namespace bramvelt::tui
