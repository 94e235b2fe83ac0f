#pragma once
// Table: a header row and rows of cells under column width constraints, with
// `column_spacing` blank cells between columns. Each row's style covers the whole row
// (spacing included); a cell's text is drawn in its column with its own alignment and
// cut at the column's edge.

#include <optional>
#include <vector>

#include "src/tui/kit/block.hpp"
#include "src/tui/kit/layout.hpp"

namespace bramvelt::tui::kit {

struct TableCell {
    Text content;
    Style style;

    TableCell() = default;
    TableCell(Text t) : content(std::move(t)) {}  // NOLINT
    TableCell(Text t, Style s) : content(std::move(t)), style(s) {}
};

struct Row {
    std::vector<TableCell> cells;
    Style style;
    std::uint16_t height = 1;

    Row() = default;
    Row(std::vector<TableCell> c) : cells(std::move(c)) {}  // NOLINT
    Row(std::vector<TableCell> c, Style s) : cells(std::move(c)), style(s) {}
};

struct Table {
    std::vector<Row> rows;
    std::vector<Constraint> widths;
    std::optional<Row> header;
    std::optional<Block> block;
    Style style;
    std::uint16_t column_spacing = 1;

    // The x offset (from the area's left) and width of each column for `width` cells.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> column_widths(std::uint16_t width) const;
    void render(Rect area, Buffer& buf) const;
};

}  // namespace bramvelt::tui::kit
