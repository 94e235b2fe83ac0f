#pragma once
// List: items of one or more lines stacked from the top, scrolled so that the selected
// item is visible. The selected item gets the highlight symbol before its first line
// and the highlight style patched over its whole area; the other items are indented by
// the symbol's width while an item is selected.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "src/tui/kit/block.hpp"

namespace bramvelt::tui::kit {

struct ListItem {
    Text content;
    Style style;

    ListItem() = default;
    ListItem(Text t) : content(std::move(t)) {}  // NOLINT
    ListItem(Text t, Style s) : content(std::move(t)), style(s) {}
    std::size_t height() const { return content.height(); }
};

// Scroll position and selection; render updates `offset` to keep the selection shown.
struct ListState {
    std::size_t offset = 0;
    std::optional<std::size_t> selected;
};

struct List {
    std::vector<ListItem> items;
    std::optional<Block> block;
    Style style;
    Style highlight_style;
    std::string highlight_symbol;

    void render(Rect area, Buffer& buf, ListState& state) const;
};

}  // namespace bramvelt::tui::kit
