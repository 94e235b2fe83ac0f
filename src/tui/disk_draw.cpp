#include "src/tui/disk_draw.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "platform/utf8.hpp"
#include "src/cli/format.hpp"
#include "src/tui/disk_treemap.hpp"
#include "src/tui/kit/layout.hpp"
#include "src/tui/kit/paragraph.hpp"
#include "src/tui/widgets.hpp"

namespace bramvelt::tui {
namespace {

constexpr std::uint32_t kBreadcrumbReserve = 34;

// The table's columns other than Name, in order: marker, share bar, percentage, size,
// files, age. Name takes what they leave.
constexpr std::uint16_t kMarkerWidth = 1;
constexpr std::uint16_t kBarWidth = 12;
constexpr std::uint16_t kShareWidth = 6;
constexpr std::uint16_t kSizeWidth = 10;
constexpr std::uint16_t kFilesWidth = 8;
constexpr std::uint16_t kAgeWidth = 5;
constexpr std::uint16_t kColumnSpacing = 1;
constexpr std::uint32_t kNameMinWidth = 20;
// The table's width that leaves Name its minimum: two borders, the other columns and the
// spacing between the seven columns.
constexpr std::uint32_t kTableMinWidth = 2 + kMarkerWidth + kBarWidth + kShareWidth + kSizeWidth +
                                         kFilesWidth + kAgeWidth + 6 * kColumnSpacing +
                                         kNameMinWidth;
// A narrower treemap shows too little to be worth the names it would hide.
constexpr std::uint32_t kTreemapMinColumns = 24;

std::size_t spans_chars(const std::vector<kit::Span>& spans) {
    std::size_t n = 0;
    for (const auto& s : spans) n += char_count(s.content);
    return n;
}

std::string_view trim_leading_white_space(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t next = pos;
        if (!platform::is_white_space(platform::next_code_point(text, next))) break;
        pos = next;
    }
    return text.substr(pos);
}

void draw_header(const DiskView& view, kit::Buffer& buf, kit::Rect row,
                 const std::optional<std::string>& home) {
    const kit::Style current = kit::fg(palette::kLight).bold();
    const kit::Style earlier = kit::fg(palette::kAccent);
    std::vector<kit::Span> spans{kit::Span(" ")};
    const std::size_t n = view.breadcrumb.size();
    if (n == 0) {
        spans.emplace_back("");
    } else {
        spans.emplace_back(cli::display_path(view.breadcrumb[0], home), n == 1 ? current : earlier);
        for (std::size_t i = 1; i < n; ++i) {
            spans.emplace_back(" › ", kit::fg(palette::kMuted));
            spans.emplace_back(cli::escape_for_display(scan::node_display_name(view.breadcrumb[i])),
                               i + 1 == n ? current : earlier);
        }
    }
    const std::size_t room = row.width > kBreadcrumbReserve ? row.width - kBreadcrumbReserve : 0;
    kit::Line line;
    if (spans_chars(spans) > room) {
        std::string joined;
        for (const auto& s : spans) joined += s.content;
        line = kit::Line(std::vector<kit::Span>{
            kit::Span(" "),
            kit::Span(truncate_start(trim_leading_white_space(joined), room), current)});
    } else {
        line = kit::Line(std::move(spans));
    }
    line.render(row, buf);

    if (!view.tree) return;
    const DiskNode* folder = current_folder(view);
    if (folder == nullptr) return;
    const std::string summary = fmt::format("{} · {} files ", cli::format_size(node_size(*folder)),
                                            cli::format_count(node_file_count(*folder)));
    const std::size_t chars = char_count(summary);
    if (chars < row.width) {
        buf.set_stringn(static_cast<std::uint16_t>(row.right() - chars), row.y, summary, chars,
                        current);
    }
}

std::uint64_t files_per_second(std::uint64_t files, double elapsed) {
    if (elapsed <= 0.2) return 0;
    const double rate = static_cast<double>(files) / elapsed;
    if (!(rate > 0)) return 0;
    if (rate >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(rate);
}

void draw_status(const DiskView& view, kit::Buffer& buf, kit::Rect row, std::uint64_t tick,
                 const DrawClock& clock) {
    const kit::Style muted = kit::fg(palette::kMuted);
    kit::Line line;
    if (view.error) {
        line = kit::Line(
            kit::Span(" ✗ " + cli::escape_for_display(*view.error), kit::fg(palette::kError)));
    } else if (view.scanning) {
        double elapsed = 0;
        if (view.started && clock.monotonic > *view.started) {
            elapsed = std::chrono::duration<double>(clock.monotonic - *view.started).count();
        }
        const DiskProgress progress = view.progress.value_or(DiskProgress{});
        std::vector<kit::Span> spans{
            kit::Span(fmt::format(" {} ", spinner_frame(tick)), kit::fg(palette::kAccent)),
            kit::Span("Scanning ", muted),
            kit::Span(cli::format_size(progress.bytes), kit::fg(palette::kLight).bold()),
            kit::Span(
                fmt::format(" · {} files · {} folders · {}/s · {:.1f}s  ",
                            cli::format_count(progress.files), cli::format_count(progress.folders),
                            cli::format_count(files_per_second(progress.files, elapsed)), elapsed),
                muted),
        };
        const std::size_t used = spans_chars(spans) + 1;
        const std::size_t room = row.width > used ? row.width - used : 0;
        spans.emplace_back(truncate_start(cli::escape_for_display(progress.path), room),
                           kit::fg(palette::kDim));
        line = kit::Line(std::move(spans));
    } else if (view.stopped) {
        const bool stopped = *view.stopped;
        std::vector<kit::Span> spans{
            stopped ? kit::Span(" ■ ", kit::fg(palette::kWarning))
                    : kit::Span(" ✓ ", kit::fg(palette::kSuccess)),
            kit::Span(
                fmt::format("{} in {:.1f}s · {} files · {} folders",
                            stopped ? "Stopped" : "Scanned", view.elapsed_seconds,
                            cli::format_count(view.files), cli::format_count(view.directories)),
                muted),
        };
        if (view.unreadable != 0) {
            spans.emplace_back(fmt::format(" · {} unreadable", cli::format_count(view.unreadable)),
                               kit::fg(palette::kWarning));
        }
        line = kit::Line(std::move(spans));
    }
    line.render(row, buf);
}

// A scan that failed before its first tree: the failure where the spinner was, so that
// nothing suggests the scan still runs.
std::vector<kit::Line> failure_lines(const std::string& error) {
    return {
        kit::Line(""),
        kit::Line(kit::Span("✗  Scan failed", kit::fg(palette::kError).bold())),
        kit::Line(""),
        kit::Line(kit::Span(cli::escape_for_display(error), kit::fg(palette::kMuted))),
    };
}

void draw_placeholder(const DiskView& view, kit::Buffer& buf, kit::Rect body, std::uint64_t tick) {
    const kit::Rect box = centered_rect(body, 64, 9);
    const kit::Block block = panel_block("", Focus::Unfocused);
    if (view.error) {
        kit::Paragraph(kit::Text(failure_lines(*view.error)))
            .with_block(block)
            .aligned(kit::Alignment::Center)
            .wrapped(kit::LeadingSpace::Trim)
            .render(box, buf);
        return;
    }
    const DiskProgress progress = view.progress.value_or(DiskProgress{});
    const kit::Style muted = kit::fg(palette::kMuted);
    std::vector<kit::Line> lines{
        kit::Line(""),
        kit::Line(kit::Span(fmt::format("{}  Measuring", spinner_frame(tick)),
                            kit::fg(palette::kAccent))),
        kit::Line(""),
        kit::Line(kit::Span(cli::format_size(progress.bytes), kit::fg(palette::kLight).bold())),
        kit::Line(kit::Span(fmt::format("{} files", cli::format_count(progress.files)), muted)),
        kit::Line(""),
        kit::Line(kit::Span("The map appears as soon as the first folders are measured.", muted)),
    };
    kit::Paragraph(kit::Text(std::move(lines)))
        .with_block(block)
        .aligned(kit::Alignment::Center)
        .render(box, buf);
}

void draw_filter_line(const DiskView& view, kit::Buffer& buf, kit::Rect body) {
    const std::uint32_t y = body.y + body.height >= 2 ? body.y + body.height - 2u : 0u;
    const std::uint32_t width = std::min<std::uint32_t>(body.width >= 2 ? body.width - 2u : 0u, 60);
    const kit::Rect rect = kit::Rect::make(body.x + 1u, y, width, 1);
    kit::Paragraph(kit::Text(input_line("Filter:", *view.filter_input)))
        .with_style(kit::Style{}.with_bg(palette::kSelection))
        .render(rect, buf);
}

std::string_view status_word(const DiskNode& node) {
    const bool readable = node_readable(node);
    switch (node_state(node)) {
        case NodeState::Scanning:
            return "scanning";
        case NodeState::Incomplete:
            return readable ? "incomplete" : "unreadable";
        case NodeState::MountPoint:
            return "mount excluded";
        case NodeState::CloudPlaceholder:
            return "online only";
        case NodeState::DirectoryAlias:
            return "alias excluded";
        case NodeState::PolicyExcluded:
            return "excluded";
        case NodeState::SmallFilesAggregate:
            return "small files";
        case NodeState::Normal:
            return readable ? "" : "unreadable";
    }
    return "";
}

kit::TableCell right_aligned(std::string text, kit::Style style) {
    kit::Text t(kit::Line(kit::Span(std::move(text), style)));
    t.alignment = kit::Alignment::Right;
    return kit::TableCell(std::move(t));
}

}  // namespace

DrawClock DrawClock::now() {
    DrawClock clock;
    clock.monotonic = std::chrono::steady_clock::now();
    const auto since_epoch = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    clock.unix_seconds = std::max<std::int64_t>(0, since_epoch.count());
    return clock;
}

std::vector<kit::Row> build_disk_rows(const std::vector<std::size_t>& visible, std::size_t first,
                                      std::size_t count, const DiskNode& folder,
                                      std::size_t selected,
                                      const std::vector<std::optional<std::size_t>>& color_ranks,
                                      double folder_total, std::int64_t now) {
    std::vector<kit::Row> rows;
    const auto children = node_children(folder);
    const kit::Style muted = kit::fg(palette::kMuted);
    for (std::size_t pos = first; pos < visible.size() && pos - first < count; ++pos) {
        const std::size_t index = visible[pos];
        if (index >= children.size()) continue;
        const DiskNode& child = children[index];
        const bool folder_like = is_openable(child);
        kit::Color color = palette::kPlain;
        if (index < color_ranks.size() && color_ranks[index])
            color = folder_color(*color_ranks[index]);

        std::string name = cli::escape_for_display(node_name(child));
        if (folder_like) name += '/';
        std::vector<kit::Span> name_spans{
            kit::Span(std::move(name), kit::fg(folder_like ? palette::kLight : palette::kMuted))};
        if (const std::string_view word = status_word(child); !word.empty()) {
            name_spans.emplace_back("  " + std::string(word), kit::fg(palette::kWarning));
        }
        const double share = static_cast<double>(node_size(child)) / folder_total;
        std::vector<kit::TableCell> cells{
            kit::TableCell(kit::Text(kit::Line(kit::Span("▍", kit::fg(color))))),
            kit::TableCell(kit::Text(kit::Line(std::move(name_spans)))),
            kit::TableCell(kit::Text(kit::Line(kit::Span(usage_bar(12, share), kit::fg(color))))),
            kit::TableCell(
                kit::Text(kit::Line(kit::Span(fmt::format("{:>5.1f}%", share * 100), muted)))),
            right_aligned(cli::format_size(node_size(child)), kit::fg(palette::kLight)),
            right_aligned(folder_like ? cli::format_count(node_file_count(child)) : std::string(),
                          muted),
            right_aligned(cli::format_age(node_modified(child), now), muted),
        };
        kit::Row row(std::move(cells));
        if (pos == selected) row.style = kit::Style{}.with_bg(palette::kSelection).bold();
        rows.push_back(std::move(row));
    }
    return rows;
}

void draw_disk_table(DiskView& view, kit::Buffer& buf, kit::Rect area, std::int64_t now) {
    if (!view.tree) return;
    const DiskNode* folder = current_folder(view);
    if (folder == nullptr) return;
    const double total = static_cast<double>(std::max<std::uint64_t>(node_size(*folder), 1));
    const std::size_t shown = area.height > 3 ? area.height - 3u : 0;
    if (view.selected < view.scroll) {
        view.scroll = view.selected;
    } else if (area.height >= 4 && view.selected >= view.scroll + shown) {
        view.scroll = view.selected - shown + 1;
    }
    view.page = shown;

    kit::Table table;
    table.rows = build_disk_rows(view.visible, view.scroll, shown, *folder, view.selected,
                                 view.color_ranks, total, now);
    table.widths = {kit::Constraint::length(kMarkerWidth), kit::Constraint::fill(1),
                    kit::Constraint::length(kBarWidth),    kit::Constraint::length(kShareWidth),
                    kit::Constraint::length(kSizeWidth),   kit::Constraint::length(kFilesWidth),
                    kit::Constraint::length(kAgeWidth)};
    table.column_spacing = kColumnSpacing;
    const kit::Style muted = kit::fg(palette::kMuted);
    table.header = kit::Row(std::vector<kit::TableCell>{
        kit::TableCell(kit::Text(kit::Line(kit::Span("", muted)))),
        kit::TableCell(kit::Text(kit::Line(kit::Span("Name", muted)))),
        kit::TableCell(kit::Text(kit::Line(kit::Span("", muted)))),
        kit::TableCell(kit::Text(kit::Line(kit::Span("", muted)))),
        kit::TableCell(kit::Text(kit::Line(kit::Span("Size", muted)))),
        kit::TableCell(kit::Text(kit::Line(kit::Span("Files", muted)))),
        kit::TableCell(kit::Text(kit::Line(kit::Span("Age", muted)))),
    });
    std::string title = fmt::format(" {} items · by {}", cli::format_count(view.visible.size()),
                                    sort_label(view.sort));
    if (!view.filter.empty()) {
        title += " · “";
        title += view.filter;
        title += "”";
    }
    title += ' ';
    kit::Block block = table_panel_block(std::move(title), Focus::Focused);
    if (const DiskNode* node = selected_node(view)) {
        std::string bottom = " " + cli::escape_for_display(node_name(*node));
        if (const auto modified = node_modified(*node)) {
            bottom += " · changed " + cli::format_age(modified, now) + " ago";
        }
        bottom += ' ';
        block.title_bottom(kit::Line(kit::Span(std::move(bottom), muted)));
    }
    table.block = std::move(block);
    table.render(area, buf);

    if (view.visible.empty()) {
        const bool filtered = !view.filter.empty();
        const kit::Rect rect = centered_rect(area, filtered ? 29 : 16, 1);
        kit::Line(kit::Span(filtered ? "No names match the filter" : "Empty folder", muted))
            .render(rect, buf);
    }
}

BodySplit split_disk_body(kit::Rect body, TreemapShown shown) {
    if (shown == TreemapShown::No || body.width < kTableMinWidth + kTreemapMinColumns) {
        return {body, std::nullopt};
    }
    const auto sides =
        kit::Layout::horizontal({kit::Constraint::percentage(54), kit::Constraint::percentage(46)})
            .split(body);
    if (sides[0].width >= kTableMinWidth) return {sides[0], sides[1]};
    const auto table = static_cast<std::uint16_t>(kTableMinWidth);
    return {kit::Rect{body.x, body.y, table, body.height},
            kit::Rect{static_cast<std::uint16_t>(body.x + table), body.y,
                      static_cast<std::uint16_t>(body.width - table), body.height}};
}

KeyHints draw_disk_view(DiskView& view, kit::Buffer& buf, kit::Rect area,
                        const std::optional<std::string>& home, std::uint64_t tick,
                        const DrawClock& clock) {
    refresh_visible(view);
    const auto rows = kit::Layout::vertical({kit::Constraint::length(1), kit::Constraint::length(1),
                                             kit::Constraint::min(3)})
                          .split(area);
    draw_header(view, buf, rows[0], home);
    draw_status(view, buf, rows[1], tick, clock);
    const kit::Rect body = rows[2];
    if (!view.tree) {
        draw_placeholder(view, buf, body, tick);
    } else {
        const BodySplit split =
            split_disk_body(body, view.treemap_hidden ? TreemapShown::No : TreemapShown::Yes);
        draw_disk_table(view, buf, split.table, clock.unix_seconds);
        if (split.treemap && current_folder(view) != nullptr) {
            const kit::Block block = panel_block(" Treemap ", Focus::Unfocused);
            block.render(*split.treemap, buf);
            draw_treemap(view, buf, block.inner(*split.treemap));
        }
    }
    if (view.filter_input) draw_filter_line(view, buf, body);

    if (view.filter_input) return {{"Enter", "keep filter"}, {"Esc", "clear"}};
    KeyHints hints{{"↑↓", "move"},
                   {"→", "open"},
                   {"←", "up"},
                   {"s", "sort"},
                   {"/", "filter"},
                   {"t", "treemap"},
                   {"c", "dev cleanup here"},
                   {"o", "open in app"}};
    if (view.scanning) {
        hints.push_back({"Esc", "stop"});
    } else {
        hints.push_back({"r", "rescan"});
    }
    return hints;
}

}  // namespace bramvelt::tui
