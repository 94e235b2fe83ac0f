#include "src/tui/kit/text.hpp"

#include <algorithm>

#include "src/tui/kit/graphemes.hpp"

namespace bramvelt::tui::kit {
namespace {

// Draws the spans from `x`, skipping the first `skip` cells of the line.
void render_spans(const std::vector<Span>& spans, const Style& base, Rect area, Buffer& buf,
                  std::size_t skip) {
    std::uint32_t x = area.x;
    std::string symbol;
    int width = 0;
    for (const Span& span : spans) {
        const Style style = base.patch(span.style);
        GraphemeIterator it(span.content);
        while (it.next(symbol, width)) {
            if (width == 0) {
                continue;
            }
            if (skip > 0) {
                // A wide cluster cut by the left edge is left out whole.
                skip = skip >= static_cast<std::size_t>(width) ? skip - width : 0;
                continue;
            }
            if (x + static_cast<std::uint32_t>(width) > area.right()) {
                return;
            }
            if (Cell* c = buf.cell(x, area.y)) {
                c->set_symbol(symbol).set_style(style);
            }
            for (int i = 1; i < width; ++i) {
                if (Cell* hidden = buf.cell(x + static_cast<std::uint32_t>(i), area.y)) {
                    hidden->reset();
                }
            }
            x += static_cast<std::uint32_t>(width);
        }
    }
}

}  // namespace

std::size_t Span::width() const {
    return display_width(content);
}

std::size_t Line::width() const {
    std::size_t w = 0;
    for (const Span& s : spans) {
        w += s.width();
    }
    return w;
}

void Line::render(Rect area, Buffer& buf, std::optional<Alignment> parent) const {
    area = area.intersection(buf.area());
    if (area.empty()) {
        return;
    }
    area.height = 1;
    buf.set_style(area, style);
    const std::size_t line_width = width();
    const std::size_t area_width = area.width;
    const Alignment align = alignment.value_or(parent.value_or(Alignment::Left));
    if (line_width <= area_width) {
        std::size_t indent = 0;
        if (align == Alignment::Center) {
            indent = (area_width - line_width) / 2;
        } else if (align == Alignment::Right) {
            indent = area_width - line_width;
        }
        Rect shifted = area;
        shifted.x = static_cast<std::uint16_t>(area.x + indent);
        shifted.width = static_cast<std::uint16_t>(area.width - indent);
        render_spans(spans, Style{}, shifted, buf, 0);
    } else {
        std::size_t skip = 0;
        if (align == Alignment::Center) {
            skip = (line_width - area_width) / 2;
        } else if (align == Alignment::Right) {
            skip = line_width - area_width;
        }
        render_spans(spans, Style{}, area, buf, skip);
    }
}

Text Text::raw(std::string_view text, Style style) {
    Text out;
    // A final line feed ends the last line; it does not open an empty one.
    if (text.ends_with('\n')) {
        text.remove_suffix(1);
        if (text.ends_with('\r')) text.remove_suffix(1);
        if (text.empty()) {
            out.lines.emplace_back(std::vector<Span>{Span(std::string(), style)});
            return out;
        }
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t nl = text.find('\n', start);
        std::string_view piece = text.substr(start, nl == std::string_view::npos ? nl : nl - start);
        if (nl != std::string_view::npos && piece.ends_with('\r')) {
            piece.remove_suffix(1);
        }
        out.lines.emplace_back(std::vector<Span>{Span(std::string(piece), style)});
        if (nl == std::string_view::npos) {
            break;
        }
        start = nl + 1;
    }
    return out;
}

std::size_t Text::width() const {
    std::size_t w = 0;
    for (const Line& l : lines) {
        w = std::max(w, l.width());
    }
    return w;
}

void Text::render(Rect area, Buffer& buf) const {
    area = area.intersection(buf.area());
    if (area.empty()) {
        return;
    }
    buf.set_style(area, style);
    for (std::size_t i = 0; i < lines.size() && i < area.height; ++i) {
        Rect row{area.x, static_cast<std::uint16_t>(area.y + i), area.width, 1};
        lines[i].render(row, buf, alignment);
    }
}

}  // namespace bramvelt::tui::kit
