#include "src/tui/kit/paragraph.hpp"

#include <deque>
#include <limits>

#include "src/tui/kit/graphemes.hpp"

namespace bramvelt::tui::kit {
namespace {

struct StyledGrapheme {
    std::string symbol;
    int width = 0;
    Style style;

    bool is_whitespace() const {
        if (symbol == "\u200b") return true;
        if (symbol == "\u00a0") return false;
        // Every code point white space: the ASCII blanks and the Unicode space separators.
        std::size_t pos = 0;
        while (pos < symbol.size()) {
            const auto c = static_cast<unsigned char>(symbol[pos]);
            if (c == ' ' || c == '\t') {
                ++pos;
                continue;
            }
            const std::string_view rest = std::string_view(symbol).substr(pos);
            static constexpr std::string_view kSpaces[] = {
                "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004",
                "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200a",
                "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};
            bool matched = false;
            for (std::string_view s : kSpaces) {
                if (rest.starts_with(s)) {
                    pos += s.size();
                    matched = true;
                    break;
                }
            }
            if (!matched) return false;
        }
        return !symbol.empty();
    }
};

using StyledLine = std::vector<StyledGrapheme>;

struct ComposedLine {
    StyledLine graphemes;
    std::size_t width = 0;
    Alignment alignment = Alignment::Left;
};

// At most `limit` clusters: a huge text costs no more than the area can show.
StyledLine styled_graphemes(const Line& line, const Style& base, std::size_t limit) {
    StyledLine out;
    const Style line_style = base.patch(line.style);
    std::string symbol;
    int width = 0;
    for (const Span& span : line.spans) {
        const Style style = line_style.patch(span.style);
        GraphemeIterator it(span.content);
        while (out.size() < limit && it.next(symbol, width)) {
            out.push_back(StyledGrapheme{symbol, width, style});
        }
    }
    return out;
}

std::size_t width_of(const StyledLine& line) {
    std::size_t w = 0;
    for (const StyledGrapheme& g : line) w += static_cast<std::size_t>(g.width);
    return w;
}

// Word wrapping of one input line into lines of at most `max` cells.
void wrap_line(StyledLine symbols, std::size_t max, std::size_t max_lines, bool trim,
               std::vector<StyledLine>& out) {
    std::vector<StyledLine> wrapped;
    StyledLine pending_line;
    std::size_t line_width = 0;
    StyledLine pending_word;
    std::size_t word_width = 0;
    std::deque<StyledGrapheme> pending_ws;
    std::size_t ws_width = 0;
    bool non_ws_previous = false;

    for (StyledGrapheme& g : symbols) {
        const bool is_ws = g.is_whitespace();
        const auto w = static_cast<std::size_t>(g.width);
        if (w > max) continue;

        const bool word_found = non_ws_previous && is_ws;
        const bool trimmed_overflow = pending_line.empty() && trim && word_width + w > max;
        const bool ws_overflow = pending_line.empty() && trim && ws_width + w > max;
        const bool untrimmed_overflow =
            pending_line.empty() && !trim && word_width + ws_width + w > max;
        if (word_found || trimmed_overflow || ws_overflow || untrimmed_overflow) {
            if (!pending_line.empty() || !trim) {
                for (auto& s : pending_ws) pending_line.push_back(std::move(s));
                line_width += ws_width;
            }
            for (auto& s : pending_word) pending_line.push_back(std::move(s));
            line_width += word_width;
            pending_word.clear();
            pending_ws.clear();
            ws_width = 0;
            word_width = 0;
        }

        const bool line_full = line_width >= max;
        const bool word_overflow = w > 0 && line_width + ws_width + word_width >= max;
        if (line_full || word_overflow) {
            std::size_t remaining = max > line_width ? max - line_width : 0;
            wrapped.push_back(std::move(pending_line));
            pending_line.clear();
            line_width = 0;
            if (wrapped.size() >= max_lines) {
                break;
            }
            // White space that still fits ends the finished line instead of the next.
            while (!pending_ws.empty()) {
                const auto fw = static_cast<std::size_t>(pending_ws.front().width);
                if (fw > remaining) break;
                ws_width -= fw;
                remaining -= fw;
                pending_ws.pop_front();
            }
            if (is_ws && pending_ws.empty()) {
                continue;
            }
        }

        if (is_ws) {
            ws_width += w;
            pending_ws.push_back(std::move(g));
        } else {
            word_width += w;
            pending_word.push_back(std::move(g));
        }
        non_ws_previous = !is_ws;
    }

    if (wrapped.size() >= max_lines) {
        for (auto& l : wrapped) out.push_back(std::move(l));
        return;
    }
    if (pending_line.empty() && pending_word.empty() && !pending_ws.empty()) {
        wrapped.emplace_back();
    }
    if (!pending_line.empty() || !trim) {
        for (auto& s : pending_ws) pending_line.push_back(std::move(s));
    }
    for (auto& s : pending_word) pending_line.push_back(std::move(s));
    if (!pending_line.empty()) {
        wrapped.push_back(std::move(pending_line));
    }
    if (wrapped.empty()) {
        wrapped.emplace_back();
    }
    for (auto& l : wrapped) out.push_back(std::move(l));
}

// The start of the line that fits in `max` cells.
StyledLine truncate_line(StyledLine symbols, std::size_t max) {
    StyledLine out;
    std::size_t width = 0;
    for (StyledGrapheme& g : symbols) {
        const auto w = static_cast<std::size_t>(g.width);
        if (w > max) continue;
        if (width + w > max) break;
        width += w;
        out.push_back(std::move(g));
    }
    return out;
}

}  // namespace

void Paragraph::render(Rect area, Buffer& buf) const {
    const Rect inner = begin_widget(area, buf, style, block);
    if (inner.empty()) {
        return;
    }
    const std::size_t max = inner.width;
    std::vector<ComposedLine> lines;
    const bool bottom = anchor == Anchor::Bottom;
    for (const Line& line : text.lines) {
        const Alignment align = line.alignment.value_or(text.alignment.value_or(alignment));
        // Anchored at the bottom every line is composed whole; the last rows are kept.
        const std::size_t rows_left =
            bottom ? std::numeric_limits<std::uint16_t>::max() : inner.height - lines.size();
        const std::size_t limit = wrap ? (rows_left + 1) * (max + 1) * 4 + 64 : (max + 1) * 4 + 64;
        StyledLine symbols = styled_graphemes(line, text.style, limit);
        if (wrap) {
            std::vector<StyledLine> pieces;
            wrap_line(std::move(symbols), max, rows_left, wrap->leading_space == LeadingSpace::Trim,
                      pieces);
            for (auto& p : pieces) {
                const std::size_t w = width_of(p);
                lines.push_back(ComposedLine{std::move(p), w, align});
                if (!bottom && lines.size() >= inner.height) break;
            }
        } else {
            StyledLine cut = truncate_line(std::move(symbols), max);
            const std::size_t w = width_of(cut);
            lines.push_back(ComposedLine{std::move(cut), w, align});
        }
        if (!bottom && lines.size() >= inner.height) break;
    }
    if (bottom && lines.size() > inner.height) {
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(inner.height));
    }
    for (std::size_t row = 0; row < lines.size() && row < inner.height; ++row) {
        const ComposedLine& line = lines[row];
        std::size_t x = 0;
        if (line.alignment == Alignment::Center) {
            // Half the area less half the line, each rounded down: an odd line in an even
            // area sits one cell right of where (area - line) / 2 would put it.
            const std::size_t half_line = std::min(max, line.width) / 2;
            x = max / 2 > half_line ? max / 2 - half_line : 0;
        } else if (line.alignment == Alignment::Right) {
            x = max - std::min(max, line.width);
        }
        const auto y = static_cast<std::uint32_t>(inner.y + row);
        for (const StyledGrapheme& g : line.graphemes) {
            if (g.width == 0) continue;
            if (x + static_cast<std::size_t>(g.width) > max) break;
            const auto cx = static_cast<std::uint32_t>(inner.x + x);
            buf.at(cx, y).set_symbol(g.symbol).set_style(g.style);
            for (int i = 1; i < g.width; ++i) {
                buf.at(cx + static_cast<std::uint32_t>(i), y).reset();
            }
            x += static_cast<std::size_t>(g.width);
        }
    }
}

}  // namespace bramvelt::tui::kit
