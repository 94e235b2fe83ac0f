#include "src/tui/kit/block.hpp"

#include <algorithm>

namespace bramvelt::tui::kit {
namespace {

struct BorderSet {
    const char* horizontal;
    const char* vertical;
    const char* top_left;
    const char* top_right;
    const char* bottom_left;
    const char* bottom_right;
};

constexpr BorderSet kPlain{"─", "│", "┌", "┐", "└", "┘"};
constexpr BorderSet kRounded{"─", "│", "╭", "╮", "╰", "╯"};

bool has_titles(const std::vector<Title>& titles, TitlePosition p) {
    return std::any_of(titles.begin(), titles.end(),
                       [p](const Title& t) { return t.position == p; });
}

}  // namespace

Rect Block::inner(Rect area) const {
    std::uint32_t x = area.x;
    std::uint32_t y = area.y;
    std::uint32_t w = area.width;
    std::uint32_t h = area.height;
    if (has(borders, Borders::Left)) {
        x = std::min<std::uint32_t>(x + 1, area.right());
        w = w > 0 ? w - 1 : 0;
    }
    if (has(borders, Borders::Top) || has_titles(titles, TitlePosition::Top)) {
        y = std::min<std::uint32_t>(y + 1, area.bottom());
        h = h > 0 ? h - 1 : 0;
    }
    if (has(borders, Borders::Right)) {
        w = w > 0 ? w - 1 : 0;
    }
    if (has(borders, Borders::Bottom) || has_titles(titles, TitlePosition::Bottom)) {
        h = h > 0 ? h - 1 : 0;
    }
    return Rect::make(x, y, w, h);
}

void Block::render(Rect area, Buffer& buf) const {
    area = area.intersection(buf.area());
    if (area.empty()) {
        return;
    }
    buf.set_style(area, style);
    const BorderSet& set = border_type == BorderType::Rounded ? kRounded : kPlain;
    const std::uint32_t l = area.left();
    const std::uint32_t t = area.top();
    const std::uint32_t r = area.right() - 1u;
    const std::uint32_t b = area.bottom() - 1u;
    auto put = [&](std::uint32_t x, std::uint32_t y, const char* s) {
        buf.at(x, y).set_symbol(s).set_style(border_style);
    };
    if (has(borders, Borders::Left)) {
        for (std::uint32_t y = t; y <= b; ++y) put(l, y, set.vertical);
    }
    if (has(borders, Borders::Right)) {
        for (std::uint32_t y = t; y <= b; ++y) put(r, y, set.vertical);
    }
    if (has(borders, Borders::Top)) {
        for (std::uint32_t x = l; x <= r; ++x) put(x, t, set.horizontal);
    }
    if (has(borders, Borders::Bottom)) {
        for (std::uint32_t x = l; x <= r; ++x) put(x, b, set.horizontal);
    }
    if (has(borders, Borders::Top) && has(borders, Borders::Left)) put(l, t, set.top_left);
    if (has(borders, Borders::Top) && has(borders, Borders::Right)) put(r, t, set.top_right);
    if (has(borders, Borders::Bottom) && has(borders, Borders::Left)) put(l, b, set.bottom_left);
    if (has(borders, Borders::Bottom) && has(borders, Borders::Right)) {
        put(r, b, set.bottom_right);
    }

    // Titles sit between the corners; several on one side are separated by one space.
    // Right titles are drawn first and left ones last, so where they overlap the left
    // title (usually the one that names the panel) stays readable.
    const std::uint32_t left_inset = has(borders, Borders::Left) ? 1 : 0;
    const std::uint32_t right_inset = has(borders, Borders::Right) ? 1 : 0;
    if (area.width <= left_inset + right_inset) {
        return;
    }
    const std::uint32_t row_x = l + left_inset;
    const std::uint32_t row_w = area.width - left_inset - right_inset;
    for (TitlePosition pos : {TitlePosition::Top, TitlePosition::Bottom}) {
        const std::uint32_t y = pos == TitlePosition::Top ? t : b;
        // Right titles from the right edge backwards.
        std::uint32_t end = row_x + row_w;
        for (auto it = titles.rbegin(); it != titles.rend(); ++it) {
            if (it->position != pos || it->alignment != Alignment::Right) continue;
            if (end <= row_x) break;
            const auto w =
                static_cast<std::uint32_t>(std::min<std::size_t>(it->line.width(), end - row_x));
            it->line.render(Rect::make(end - w, y, w, 1), buf, Alignment::Left);
            end = end - w > row_x ? end - w - 1 : row_x;
        }
        // Centred titles share the middle, joined by single spaces.
        std::vector<const Title*> centred;
        std::size_t centred_width = 0;
        for (const Title& title : titles) {
            if (title.position == pos && title.alignment == Alignment::Center) {
                centred_width += (centred.empty() ? 0 : 1) + title.line.width();
                centred.push_back(&title);
            }
        }
        if (!centred.empty()) {
            std::uint32_t cx = row_x + static_cast<std::uint32_t>(
                                           row_w > centred_width ? (row_w - centred_width) / 2 : 0);
            for (const Title* title : centred) {
                if (cx >= row_x + row_w) break;
                const auto w = static_cast<std::uint32_t>(
                    std::min<std::size_t>(title->line.width(), row_x + row_w - cx));
                title->line.render(Rect::make(cx, y, w, 1), buf, Alignment::Left);
                cx += w + 1;
            }
        }
        // Left titles from the left edge onwards.
        std::uint32_t x = row_x;
        for (const Title& title : titles) {
            if (title.position != pos || title.alignment != Alignment::Left) continue;
            if (x >= row_x + row_w) break;
            const std::uint32_t room = row_x + row_w - x;
            const auto w =
                static_cast<std::uint32_t>(std::min<std::size_t>(title.line.width(), room));
            title.line.render(Rect::make(x, y, w, 1), buf, Alignment::Left);
            x += w + 1;
        }
    }
}

Rect begin_widget(Rect area, Buffer& buf, const Style& style, const std::optional<Block>& block) {
    area = area.intersection(buf.area());
    if (area.empty()) {
        return area;
    }
    buf.set_style(area, style);
    if (!block) {
        return area;
    }
    block->render(area, buf);
    return block->inner(area);
}

}  // namespace bramvelt::tui::kit
