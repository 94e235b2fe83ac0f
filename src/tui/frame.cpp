#include "src/tui/dev_draw.hpp"
#include "src/tui/frame.hpp"

#include <fmt/format.h>

#include "src/cli/usage.hpp"
#include "src/tui/kit/clear.hpp"
#include "src/tui/kit/layout.hpp"
#include "src/tui/kit/paragraph.hpp"
#include "src/tui/launcher.hpp"
#include "src/tui/widgets.hpp"

namespace bramvelt::tui {
namespace {

constexpr std::size_t kVersionRoom = 40;

const KeyHints kLauncherHelp = {
    {"↑↓ Enter", "Choose what to scan"},
    {"/", "Type a folder path"},
};
const KeyHints kDiskHelp = {
    {"↑↓ j k", "Move"},
    {"→ l Enter", "Open folder"},
    {"← h Backspace", "Up one level"},
    {"PgUp PgDn g G", "Page, top, bottom"},
    {"s", "Sort: size, name, files, modified"},
    {"/", "Filter this folder by name"},
    {"t", "Show or hide the treemap"},
    {"c", "Find development clutter in this folder"},
    {"o", "Open this folder in BramVelt (macOS)"},
    {"r", "Scan again"},
    {"Esc", "Stop the scan, clear the filter, or back to start"},
};
const KeyHints kDevHelp = {
    {"↑↓ j k", "Move"},
    {"Tab ⇧Tab", "Next / previous category"},
    {"Space", "Select or clear an eligible item"},
    {"a  n", "Select all eligible shown, select none"},
    {"Enter", "Review the selected cleanup"},
    {"/", "Search paths, tools and branches"},
    {"s", "Sort: largest, oldest change, least accessed"},
    {"f", "Age filter: any, 30+, 90+ days unchanged"},
    {"m", "Size filter: any, 100 MB+, 1 GB+"},
    {"v", "Verify Git backups on remotes and scan again"},
    {"o", "Choose folders to scan"},
    {"r", "Scan again · Esc stops a scan"},
};

void draw_title_bar(const App& app, kit::Buffer& buf, kit::Rect bar) {
    std::vector<kit::Span> spans{
        kit::Span(" ◐ bram", kit::fg(palette::kAccent).bold()),
        kit::Span("velt  ", kit::fg(palette::kLight).bold()),
    };
    for (auto line :
         {tab_label("Disk", "1", app.view == ActiveView::Disk ? Tab::Active : Tab::Inactive),
          tab_label("Dev cleanup", "2",
                    app.view == ActiveView::Development ? Tab::Active : Tab::Inactive)}) {
        for (auto& span : line.spans) spans.push_back(std::move(span));
    }
    kit::Line(std::move(spans)).render(bar, buf);
    const std::string version = fmt::format("v{} · ? help · q quit ", cli::kVersion);
    const std::size_t chars = char_count(version);
    if (bar.width > chars + kVersionRoom) {
        buf.set_stringn(static_cast<std::uint16_t>(bar.right() - chars), bar.y, version, chars,
                        kit::fg(palette::kMuted));
    }
}

void draw_footer(const KeyHints& hints, kit::Buffer& buf, kit::Rect row) {
    std::vector<kit::Span> spans{kit::Span(" ")};
    for (const KeyHint& hint : hints) {
        spans.emplace_back(hint.key, kit::fg(palette::kAccent).bold());
        spans.emplace_back(fmt::format(" {}  ", hint.label), kit::fg(palette::kMuted));
    }
    kit::Line(std::move(spans)).render(row, buf);
}

void draw_status_box(const std::string& status, kit::Buffer& buf, kit::Rect body) {
    if (body.width < 8 || body.height < 4) return;
    const std::uint32_t w = std::min<std::uint32_t>(
        static_cast<std::uint32_t>(std::min<std::size_t>(char_count(status) + 4, 0xFFFF)),
        body.width - 2u);
    const std::uint32_t right = body.x + body.width;
    const std::uint32_t bottom = body.y + body.height;
    const std::uint32_t x = right >= w + 1 ? right - w - 1 : 0;
    const std::uint32_t y = bottom >= 4 ? bottom - 4 : 0;
    const kit::Rect box = kit::Rect::make(x, y, w, 3).intersection(body);
    kit::Clear{}.render(box, buf);
    kit::Paragraph(kit::Text::raw(status))
        .with_block(popup_block(""))
        .aligned(kit::Alignment::Center)
        .render(box, buf);
}

std::string pad_left(std::string_view text, std::size_t width) {
    std::string out(width - std::min(width, char_count(text)), ' ');
    out += text;
    return out;
}

void draw_help(const App& app, kit::Buffer& buf, kit::Rect area) {
    std::vector<kit::Line> lines{kit::Line(kit::Span("Keys", kit::fg(palette::kLight).bold())),
                                 kit::Line("")};
    const auto row = [](const KeyHint& hint) {
        return kit::Line(std::vector<kit::Span>{
            kit::Span(pad_left(hint.key, 16) + "  ", kit::fg(palette::kAccent).bold()),
            kit::Span(hint.label)});
    };
    for (const KeyHint& hint : help_rows(app)) lines.push_back(row(hint));
    lines.emplace_back("");
    lines.push_back(row({"1 2", "Disk map · Development cleanup"}));
    lines.push_back(row({"q  Ctrl-C", "Quit (Ctrl-C stops running work first)"}));
    const std::uint32_t width = std::min<std::uint32_t>(76, area.width);
    const std::uint32_t height =
        std::min<std::uint32_t>(static_cast<std::uint32_t>(lines.size()) + 3, area.height);
    const kit::Rect box = kit::Rect::make(area.x + (area.width - width) / 2,
                                          area.y + (area.height - height) / 2, width, height);
    kit::Clear{}.render(box, buf);
    kit::Paragraph(kit::Text(std::move(lines)))
        .with_block(popup_block(" Help · any key closes "))
        .wrapped(kit::LeadingSpace::Keep)
        .render(box, buf);
}

}  // namespace

KeyHints help_rows(const App& app) {
    if (app.view == ActiveView::Development) return kDevHelp;
    return app.disk.root ? kDiskHelp : kLauncherHelp;
}

void draw_frame(App& app, kit::Buffer& buf, kit::Rect area, const DrawClock& clock) {
    kit::Block background;
    background.style = kit::fg_bg(palette::kLight, palette::kSurface);
    background.render(area, buf);
    const auto rows = kit::Layout::vertical({kit::Constraint::length(1), kit::Constraint::min(5),
                                             kit::Constraint::length(1)})
                          .split(area);
    draw_title_bar(app, buf, rows[0]);
    const kit::Rect body = rows[1];
    const KeyHints hints =
        app.view == ActiveView::Development
            ? draw_dev_view(app.dev, buf, body, app.home, app.tick, clock)
        : app.disk.root ? draw_disk_view(app.disk, buf, body, app.home, app.tick, clock)
                        : draw_launcher(app, buf, body);
    draw_footer(hints, buf, rows[2]);
    if (status_is_fresh(app, clock.monotonic)) draw_status_box(*app.status, buf, body);
    if (app.help_open) draw_help(app, buf, area);
}

}  // namespace bramvelt::tui
