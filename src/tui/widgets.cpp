#include "src/tui/widgets.hpp"

#include <cmath>

#include "platform/utf8.hpp"
#include "src/tui/kit/graphemes.hpp"

namespace bramvelt::tui {
namespace {

// Byte offset of the character with index `n` (the text's size when it has fewer).
std::size_t offset_of_char(std::string_view text, std::size_t n) {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < n && pos < text.size(); ++i) {
        platform::next_code_point(text, pos);
    }
    return pos;
}

// Joins pieces with append: GCC 12 warns falsely (-Wrestrict) on `"x" + std::string`.
std::string concat(std::initializer_list<std::string_view> pieces) {
    std::string out;
    for (std::string_view p : pieces) out.append(p);
    return out;
}

kit::Block rounded_block(std::string title, kit::Color border) {
    kit::Block block = kit::Block::bordered();
    block.border_type = kit::BorderType::Rounded;
    block.border_style = kit::fg(border);
    block.title(kit::Line(kit::Span(std::move(title), kit::fg(palette::kLight).bold())));
    return block;
}

}  // namespace

// Characters as they are decoded and drawn: in a name that is not UTF-8 each ill-formed
// piece counts as the one replacement character it becomes on screen.
std::size_t char_count(std::string_view text) {
    std::size_t pos = 0;
    std::size_t n = 0;
    while (pos < text.size()) {
        platform::next_code_point(text, pos);
        ++n;
    }
    return n;
}

std::string_view spinner_frame(std::uint64_t tick) {
    static constexpr std::string_view kFrames[] = {"⠋", "⠙", "⠹", "⠸", "⠼",
                                                   "⠴", "⠦", "⠧", "⠇", "⠏"};
    return kFrames[tick % 10];
}

kit::Block panel_block(std::string_view title, Focus focus) {
    return rounded_block(std::string(title),
                         focus == Focus::Focused ? palette::kAccent : palette::kDim);
}

kit::Block table_panel_block(std::string&& title, Focus focus) {
    return rounded_block(std::move(title),
                         focus == Focus::Focused ? palette::kAccent : palette::kDim);
}

kit::Block popup_block(std::string_view title) {
    kit::Block block = rounded_block(std::string(title), palette::kAccent);
    block.style = kit::fg_bg(palette::kLight, palette::kSurface);
    return block;
}

kit::Line input_line(std::string_view label, std::string_view text) {
    return kit::Line(std::vector<kit::Span>{
        kit::Span(concat({" ", label, " "}), kit::fg(palette::kAccent).bold()),
        kit::Span(std::string(text)),
        kit::Span("\u258F", kit::fg(palette::kAccent)),
    });
}

std::string truncate_start(std::string_view text, std::size_t max) {
    const std::size_t n = char_count(text);
    if (n <= max) {
        return std::string(text);
    }
    if (max >= 2) {
        return concat({"\u2026", text.substr(offset_of_char(text, n - max + 1))});
    }
    return max == 1 ? "\u2026" : "";
}

std::string truncate_end(std::string_view text, std::size_t max) {
    const std::size_t n = char_count(text);
    if (n <= max) {
        return std::string(text);
    }
    if (max >= 2) {
        return concat({text.substr(0, offset_of_char(text, max - 1)), "\u2026"});
    }
    return max == 1 ? "\u2026" : "";
}

std::string truncate_end_to_width(std::string_view text, std::size_t cells) {
    if (kit::display_width(text) <= cells) {
        return std::string(text);
    }
    if (cells == 0) {
        return "";
    }
    std::string out;
    std::size_t used = 0;
    kit::GraphemeIterator it(text);
    std::string symbol;
    int width = 0;
    while (it.next(symbol, width) && used + static_cast<std::size_t>(width) < cells) {
        out += symbol;
        used += static_cast<std::size_t>(width);
    }
    out += "\u2026";
    return out;
}

std::string usage_bar(std::size_t width, double ratio) {
    static constexpr const char* kPartial[] = {"",       "\u258F", "\u258E", "\u258D",
                                               "\u258C", "\u258B", "\u258A", "\u2589"};
    const double r = std::isfinite(ratio) ? std::clamp(ratio, 0.0, 1.0) : 0.0;
    const double eighths = std::round(static_cast<double>(width) * r * 8.0);
    const auto e = eighths > 0 ? static_cast<std::uint64_t>(eighths) : std::uint64_t{0};
    const std::uint64_t full = e / 8;
    std::string out;
    const std::size_t blocks = static_cast<std::size_t>(std::min<std::uint64_t>(width, full));
    for (std::size_t i = 0; i < blocks; ++i) {
        out += "\u2588";
    }
    if (full < width) {
        const std::uint64_t k = e % 8;
        out += k == 0 ? " " : kPartial[k];
        out.append(width - static_cast<std::size_t>(full) - 1, ' ');
    }
    return out;
}

kit::Line tab_label(std::string_view label, std::string_view key, Tab tab) {
    const bool active = tab == Tab::Active;
    const kit::Style key_style = active ? kit::fg_bg(palette::kDarkText, palette::kAccent).bold()
                                        : kit::fg(palette::kAccent).bold();
    const kit::Style label_style =
        active ? kit::fg_bg(palette::kDarkText, palette::kAccent).bold() : kit::fg(palette::kMuted);
    return kit::Line(std::vector<kit::Span>{
        kit::Span(concat({" ", key, " "}), key_style),
        kit::Span(concat({label, " "}), label_style),
        kit::Span(" "),
    });
}

kit::Rect centered_rect(kit::Rect area, std::uint32_t width, std::uint32_t height) {
    const std::uint32_t w = std::min<std::uint32_t>(area.width, width);
    const std::uint32_t h = std::min<std::uint32_t>(area.height, height);
    return kit::Rect::make(area.x + (area.width - w) / 2, area.y + (area.height - h) / 2, w, h);
}

bool edit_text_input(std::string& text, const kit::KeyEvent& key) {
    switch (key.code) {
        case kit::KeyCode::Backspace:
            if (!text.empty()) {
                text.resize(offset_of_char(text, char_count(text) - 1));
            }
            return true;
        case kit::KeyCode::Char:
            break;
        default:
            return false;
    }
    if (key.control()) {
        if (key.ch == U'u' || key.ch == U'U') {
            text.clear();
            return true;
        }
        if (key.ch == U'w' || key.ch == U'W') {
            if (text.ends_with('/') || text.ends_with(' ')) {
                text.pop_back();
            } else {
                const std::size_t sep = text.find_last_of("/ ");
                text.resize(sep == std::string::npos ? 0 : sep + 1);
            }
            return true;
        }
        return false;
    }
    platform::append_utf8(text, key.ch);
    return true;
}

bool paste_text_input(std::string& text, std::string_view pasted) {
    const std::size_t before = text.size();
    std::size_t pos = 0;
    while (pos < pasted.size()) {
        const std::size_t start = pos;
        const char32_t c = platform::next_code_point(pasted, pos);
        const bool line_break = c == U'\u2028' || c == U'\u2029';
        // Bytes that are not UTF-8 stay as they came: the line may be a path to open.
        if (!kit::is_control(c) && !line_break) text.append(pasted.substr(start, pos - start));
    }
    return text.size() != before;
}

}  // namespace bramvelt::tui
