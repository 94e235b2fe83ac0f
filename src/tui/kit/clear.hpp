#pragma once
// Clear: resets every cell of an area (blank symbol, default colours, no modifiers),
// so that a popup drawn next does not show what lay beneath it.

#include "src/tui/kit/buffer.hpp"

namespace bramvelt::tui::kit {

struct Clear {
    void render(Rect area, Buffer& buf) const {
        const Rect r = area.intersection(buf.area());
        for (std::uint32_t y = r.y; y < r.bottom(); ++y) {
            for (std::uint32_t x = r.x; x < r.right(); ++x) {
                buf.at(x, y).reset();
            }
        }
    }
};

}  // namespace bramvelt::tui::kit
