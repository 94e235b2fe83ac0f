#include "src/tui/kit/list.hpp"

#include <algorithm>

#include "src/tui/kit/graphemes.hpp"

namespace bramvelt::tui::kit {
namespace {

// First and one-past-last item shown, starting at `offset` and moved as little as
// needed to bring `selected` into view.
std::pair<std::size_t, std::size_t> items_bounds(const std::vector<ListItem>& items,
                                                 std::optional<std::size_t> selected,
                                                 std::size_t offset, std::size_t max_height) {
    offset = std::min(offset, items.empty() ? 0 : items.size() - 1);
    std::size_t first = offset;
    std::size_t last = offset;
    std::size_t height = 0;
    for (std::size_t i = offset; i < items.size(); ++i) {
        if (height + items[i].height() > max_height) break;
        height += items[i].height();
        ++last;
    }
    const std::size_t target = std::min(selected.value_or(offset), items.size() - 1);
    while (target >= last) {
        height += items[last].height();
        ++last;
        while (height > max_height && first < last) {
            height -= items[first].height();
            ++first;
        }
    }
    while (target < first) {
        --first;
        height += items[first].height();
        while (height > max_height && last > first + 1) {
            --last;
            height -= items[last].height();
        }
    }
    return {first, last};
}

}  // namespace

void List::render(Rect area, Buffer& buf, ListState& state) const {
    const Rect list_area = begin_widget(area, buf, style, block);
    if (list_area.empty()) {
        return;
    }
    if (items.empty()) {
        // Nothing can be selected in an empty list; a later list starts from its top.
        state.selected.reset();
        state.offset = 0;
        return;
    }
    if (state.selected && *state.selected >= items.size()) {
        state.selected = items.size() - 1;
    }
    const auto [first, last] = items_bounds(items, state.selected, state.offset, list_area.height);
    state.offset = first;
    const auto symbol_width = static_cast<std::uint16_t>(
        std::min<std::size_t>(display_width(highlight_symbol), list_area.width));
    const bool spacing = state.selected.has_value() && symbol_width > 0;
    const std::string blank(symbol_width, ' ');
    std::uint32_t y = list_area.y;
    for (std::size_t i = first; i < last && y < list_area.bottom(); ++i) {
        const ListItem& item = items[i];
        const auto h = static_cast<std::uint32_t>(
            std::min<std::size_t>(item.height(), list_area.bottom() - y));
        const Rect row = Rect::make(list_area.x, y, list_area.width, h);
        const Style item_style = style.patch(item.style);
        buf.set_style(row, item_style);
        const bool selected = state.selected == i;
        Rect content = row;
        if (spacing) {
            content.x = static_cast<std::uint16_t>(row.x + symbol_width);
            content.width = static_cast<std::uint16_t>(row.width - symbol_width);
        }
        item.content.render(content, buf);
        if (spacing) {
            for (std::uint32_t j = 0; j < h; ++j) {
                buf.set_stringn(row.x, static_cast<std::uint16_t>(y + j),
                                selected && j == 0 ? std::string_view(highlight_symbol)
                                                   : std::string_view(blank),
                                list_area.width, item_style);
            }
        }
        if (selected) {
            buf.set_style(row, highlight_style);
        }
        y += h;
    }
}

}  // namespace bramvelt::tui::kit
