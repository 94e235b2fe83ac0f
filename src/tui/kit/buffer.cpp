#include "src/tui/kit/buffer.hpp"

#include <algorithm>

#include "platform/utf8.hpp"
#include "src/tui/kit/graphemes.hpp"

namespace bramvelt::tui::kit {
namespace {

bool needs_sanitizing(std::string_view s) {
    bool non_ascii = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x20 || b == 0x7F) {
            return true;
        }
        if (b == 0xC2 && i + 1 < s.size()) {
            const auto n = static_cast<unsigned char>(s[i + 1]);
            if (n >= 0x80 && n <= 0x9F) {
                return true;
            }
        }
        non_ascii = non_ascii || b >= 0x80;
    }
    return non_ascii && !platform::is_valid_utf8(s);
}

}  // namespace

Cell& Cell::set_symbol(std::string_view s) {
    if (s.empty()) {
        symbol.assign(1, ' ');
    } else if (needs_sanitizing(s)) {
        symbol = sanitize_symbol(s);
    } else {
        symbol.assign(s);
    }
    return *this;
}

Cell& Cell::set_char(char32_t c) {
    std::string s;
    platform::append_utf8(s, c);
    return set_symbol(s);
}

Cell& Cell::set_style(const Style& style) {
    if (style.fg) {
        fg = *style.fg;
    }
    if (style.bg) {
        bg = *style.bg;
    }
    modifier = (modifier | style.add_modifier) & ~style.sub_modifier;
    return *this;
}

Style Cell::style() const {
    Style s;
    s.fg = fg;
    s.bg = bg;
    s.add_modifier = modifier;
    return s;
}

int Cell::width() const {
    return symbol_width(symbol);
}

Buffer::Buffer(Rect area) : area_(area), content_(area.area()) {}

Cell* Buffer::cell(std::uint32_t x, std::uint32_t y) {
    if (!area_.contains(x, y)) {
        return nullptr;
    }
    return &content_[(y - area_.y) * std::size_t{area_.width} + (x - area_.x)];
}

const Cell* Buffer::cell(std::uint32_t x, std::uint32_t y) const {
    return const_cast<Buffer*>(this)->cell(x, y);
}

void Buffer::reset() {
    std::fill(content_.begin(), content_.end(), Cell{});
}

void Buffer::resize(Rect area) {
    area_ = area;
    content_.assign(area.area(), Cell{});
}

void Buffer::set_style(Rect area, const Style& style) {
    const Rect r = area.intersection(area_);
    for (std::uint32_t y = r.y; y < r.bottom(); ++y) {
        for (std::uint32_t x = r.x; x < r.right(); ++x) {
            cell(x, y)->set_style(style);
        }
    }
}

std::uint16_t Buffer::set_stringn(std::uint16_t x, std::uint16_t y, std::string_view text,
                                  std::size_t max_width, const Style& style) {
    if (!area_.contains(x, y)) {
        return x;
    }
    const std::size_t limit = std::min<std::size_t>(max_width, area_.right() - x);
    std::size_t used = 0;
    GraphemeIterator it(text);
    std::string symbol;
    int width = 0;
    while (it.next(symbol, width)) {
        if (width == 0) {
            continue;
        }
        if (used + static_cast<std::size_t>(width) > limit) {
            break;
        }
        const auto cx = static_cast<std::uint32_t>(x + used);
        cell(cx, y)->set_symbol(symbol).set_style(style);
        for (int i = 1; i < width; ++i) {
            cell(cx + static_cast<std::uint32_t>(i), y)->reset();
        }
        used += static_cast<std::size_t>(width);
    }
    return static_cast<std::uint16_t>(x + used);
}

std::vector<CellUpdate> Buffer::diff(const Buffer& previous) const {
    std::vector<CellUpdate> updates;
    if (previous.area_ != area_) {
        for (std::size_t i = 0; i < content_.size(); ++i) {
            updates.push_back({static_cast<std::uint16_t>(area_.x + i % area_.width),
                               static_cast<std::uint16_t>(area_.y + i / area_.width),
                               &content_[i]});
        }
        return updates;
    }
    // A wide cluster hides the cell after it; when one is replaced by narrow ones the
    // hidden cell must be written again even if it did not change.
    int invalidated = 0;
    int to_skip = 0;
    for (std::size_t i = 0; i < content_.size(); ++i) {
        if (i % area_.width == 0) {
            invalidated = 0;
            to_skip = 0;
        }
        const Cell& current = content_[i];
        const Cell& before = previous.content_[i];
        if ((current != before || invalidated > 0) && to_skip == 0) {
            updates.push_back({static_cast<std::uint16_t>(area_.x + i % area_.width),
                               static_cast<std::uint16_t>(area_.y + i / area_.width), &current});
        }
        const int current_width = current.width();
        to_skip = std::max(current_width - 1, 0);
        const int affected = std::max(current_width, before.width());
        invalidated = std::max(affected, invalidated) - 1;
        if (invalidated < 0) {
            invalidated = 0;
        }
    }
    return updates;
}

std::string Buffer::row_text(std::uint16_t y) const {
    std::string out;
    for (std::uint32_t x = area_.x; x < area_.right(); ++x) {
        if (const Cell* c = cell(x, y)) {
            out += c->symbol;
            x += static_cast<std::uint32_t>(std::max(c->width(), 1) - 1);
        }
    }
    return out;
}

}  // namespace bramvelt::tui::kit
