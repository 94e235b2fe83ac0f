#pragma once
// The cell grid that every widget draws into. Drawing is a pure function of state into
// a Buffer; only the Terminal writes a Buffer to the screen.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "src/tui/kit/geometry.hpp"
#include "src/tui/kit/style.hpp"

namespace bramvelt::tui::kit {

// One terminal cell: a grapheme cluster, its colours and modifiers. A symbol never
// holds a control character (see set_symbol).
struct Cell {
    std::string symbol = " ";
    Color fg;
    Color bg;
    Modifier modifier = Modifier::None;

    // Control characters are stored as U+FFFD; an empty symbol becomes a space.
    Cell& set_symbol(std::string_view s);
    Cell& set_char(char32_t c);
    Cell& set_fg(Color c) {
        fg = c;
        return *this;
    }
    Cell& set_bg(Color c) {
        bg = c;
        return *this;
    }
    Cell& set_style(const Style& style);
    Style style() const;
    void reset() { *this = Cell{}; }
    int width() const;
    friend bool operator==(const Cell&, const Cell&) = default;
};

struct CellUpdate {
    std::uint16_t x;
    std::uint16_t y;
    const Cell* cell;
};

class Buffer {
  public:
    Buffer() = default;
    explicit Buffer(Rect area);

    const Rect& area() const { return area_; }
    // Out-of-area coordinates give nullptr, so callers can draw near edges safely.
    Cell* cell(std::uint32_t x, std::uint32_t y);
    const Cell* cell(std::uint32_t x, std::uint32_t y) const;
    // Requires the position to lie inside the area.
    Cell& at(std::uint32_t x, std::uint32_t y) { return *cell(x, y); }
    const std::vector<Cell>& content() const { return content_; }

    void reset();
    void resize(Rect area);

    // Patches the style of every cell of `area` that lies inside the buffer.
    void set_style(Rect area, const Style& style);

    // Writes the text from (x, y) on one row, at most `max_width` cells and never past
    // the buffer's right edge. A wide cluster that would not fit whole is left out, and
    // the cells hidden under a wide cluster are reset. Returns the column after the text.
    std::uint16_t set_stringn(std::uint16_t x, std::uint16_t y, std::string_view text,
                              std::size_t max_width, const Style& style);
    std::uint16_t set_string(std::uint16_t x, std::uint16_t y, std::string_view text,
                             const Style& style) {
        return set_stringn(x, y, text, 0xFFFF, style);
    }

    // The cells that differ from `previous` (same area), in row order, skipping the
    // cells that a wide cluster covers.
    std::vector<CellUpdate> diff(const Buffer& previous) const;

    // Each row's symbols joined, for tests and debugging.
    std::string row_text(std::uint16_t y) const;

  private:
    Rect area_;
    std::vector<Cell> content_;
};

}  // namespace bramvelt::tui::kit
