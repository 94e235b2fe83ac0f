#pragma once
// Draws the development view: the header, the four category boxes, the item table,
// the details pane of the item under the cursor and the open line or popup. Writes
// back only the cursor, scroll and page of the view.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "src/tui/dev_view.hpp"
#include "src/tui/disk_draw.hpp"
#include "src/tui/key_hint.hpp"
#include "src/tui/kit/buffer.hpp"

namespace bramvelt::tui {

KeyHints draw_dev_view(DevView& view, kit::Buffer& buf, kit::Rect area,
                       const std::optional<std::string>& home, std::uint64_t tick,
                       const DrawClock& clock = DrawClock::now());

// Each text escaped for display, joined with ", ".
std::string join_folder_names(const std::vector<std::string>& names);

}  // namespace bramvelt::tui
