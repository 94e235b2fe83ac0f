#pragma once
// Block: a frame around an area. It paints its style over the whole area, draws the
// chosen borders (plain or rounded) in the border style, and places titles on the top
// or bottom row, left, centred or right; `inner` is what is left for the content.

#include <cstdint>
#include <optional>
#include <vector>

#include "src/tui/kit/text.hpp"

namespace bramvelt::tui::kit {

enum class Borders : std::uint8_t {
    None = 0,
    Top = 1,
    Right = 2,
    Bottom = 4,
    Left = 8,
    All = 15,
};
constexpr Borders operator|(Borders a, Borders b) {
    return static_cast<Borders>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b));
}
constexpr bool has(Borders set, Borders side) {
    return (static_cast<std::uint8_t>(set) & static_cast<std::uint8_t>(side)) != 0;
}

enum class BorderType { Plain, Rounded };
enum class TitlePosition { Top, Bottom };

struct Title {
    Line line;
    TitlePosition position = TitlePosition::Top;
    Alignment alignment = Alignment::Left;
};

struct Block {
    Borders borders = Borders::None;
    BorderType border_type = BorderType::Plain;
    Style border_style;
    Style style;
    std::vector<Title> titles;

    static Block bordered() {
        Block b;
        b.borders = Borders::All;
        return b;
    }
    Block& title(Line line, TitlePosition position = TitlePosition::Top,
                 Alignment alignment = Alignment::Left) {
        titles.push_back(Title{std::move(line), position, alignment});
        return *this;
    }
    Block& title_bottom(Line line) { return title(std::move(line), TitlePosition::Bottom); }

    Rect inner(Rect area) const;
    void render(Rect area, Buffer& buf) const;
};

// The common start of every framed widget's drawing: clips `area` to the buffer, lays
// `style` under it, draws the block when there is one, and returns the area left for
// the content (empty when nothing is left).
Rect begin_widget(Rect area, Buffer& buf, const Style& style, const std::optional<Block>& block);

}  // namespace bramvelt::tui::kit
