#include "src/tui/kit/table.hpp"

#include <algorithm>

namespace bramvelt::tui::kit {
namespace {

void render_row(const Row& row, Rect area, Buffer& buf,
                const std::vector<std::pair<std::uint16_t, std::uint16_t>>& columns) {
    buf.set_style(area, row.style);
    for (std::size_t i = 0; i < row.cells.size() && i < columns.size(); ++i) {
        const auto [x, w] = columns[i];
        if (w == 0) continue;
        const Rect cell_area = Rect::make(area.x + x, area.y, w, area.height).intersection(area);
        buf.set_style(cell_area, row.cells[i].style);
        row.cells[i].content.render(cell_area, buf);
    }
}

}  // namespace

std::vector<std::pair<std::uint16_t, std::uint16_t>> Table::column_widths(
    std::uint16_t width) const {
    std::vector<std::pair<std::uint16_t, std::uint16_t>> out;
    Layout layout = Layout::horizontal(widths);
    layout.spacing = column_spacing;
    for (const Rect& r : layout.split(Rect{0, 0, width, 1})) {
        out.emplace_back(r.x, r.width);
    }
    return out;
}

void Table::render(Rect area, Buffer& buf) const {
    // The table's style lies under the block too, as for every other widget.
    const Rect inner = begin_widget(area, buf, style, block);
    if (inner.empty()) {
        return;
    }
    const auto columns = column_widths(inner.width);
    std::uint32_t y = inner.y;
    if (header) {
        const auto h = std::min<std::uint32_t>(header->height, inner.bottom() - y);
        render_row(*header, Rect::make(inner.x, y, inner.width, h), buf, columns);
        y += h;
    }
    for (const Row& row : rows) {
        if (y >= inner.bottom()) break;
        const auto h = std::min<std::uint32_t>(row.height, inner.bottom() - y);
        render_row(row, Rect::make(inner.x, y, inner.width, h), buf, columns);
        y += h;
    }
}

}  // namespace bramvelt::tui::kit
