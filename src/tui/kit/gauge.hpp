#pragma once
// Gauge: a bar filled from the left in whole cells ("█") to `ratio` of its width, in
// the gauge style (foreground for the bar, background behind it), with a label centred
// on its middle row; where the label covers the filled part the colours are swapped.
// A ratio outside 0..1 is clamped; NaN counts as 0.

#include <optional>

#include "src/tui/kit/block.hpp"

namespace bramvelt::tui::kit {

struct Gauge {
    double ratio = 0.0;
    std::optional<Span> label;  // default: the percentage, e.g. "42%"
    std::optional<Block> block;
    Style style;
    Style gauge_style;

    void render(Rect area, Buffer& buf) const;
};

}  // namespace bramvelt::tui::kit
