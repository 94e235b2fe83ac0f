#include "src/tui/kit/gauge.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace bramvelt::tui::kit {

void Gauge::render(Rect area, Buffer& buf) const {
    const Rect bar = begin_widget(area, buf, style, block);
    if (bar.empty()) {
        return;
    }
    buf.set_style(bar, gauge_style);
    const double r = std::isfinite(ratio) ? std::clamp(ratio, 0.0, 1.0) : 0.0;
    const Span shown = label ? *label : Span(fmt::format("{}%", std::round(r * 100.0)));
    const auto label_width =
        static_cast<std::uint16_t>(std::min<std::size_t>(shown.width(), bar.width));
    const std::uint32_t label_col = bar.x + (bar.width - label_width) / 2u;
    const std::uint32_t label_row = bar.y + bar.height / 2u;
    const std::uint32_t end = bar.x + static_cast<std::uint32_t>(std::lround(bar.width * r));
    const Color fg = gauge_style.fg.value_or(Color{});
    const Color bg = gauge_style.bg.value_or(Color{});
    for (std::uint32_t y = bar.y; y < bar.bottom(); ++y) {
        for (std::uint32_t x = bar.x; x < end; ++x) {
            Cell& c = buf.at(x, y);
            if (y == label_row && x >= label_col && x < label_col + label_width) {
                c.set_symbol(" ").set_fg(bg).set_bg(fg);
            } else {
                c.set_symbol("█").set_fg(fg).set_bg(bg);
            }
        }
    }
    buf.set_stringn(static_cast<std::uint16_t>(label_col), static_cast<std::uint16_t>(label_row),
                    shown.content, label_width, shown.style);
}

}  // namespace bramvelt::tui::kit
