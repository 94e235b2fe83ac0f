#include "src/tui/launcher.hpp"

#include <fmt/format.h>

#include "platform/working_directory.hpp"
#include "src/cli/format.hpp"
#include "src/tui/kit/layout.hpp"
#include "src/tui/kit/list.hpp"
#include "src/tui/kit/paragraph.hpp"
#include "src/tui/widgets.hpp"

namespace bramvelt::tui {
namespace {

constexpr std::size_t kTitleWidth = 24;
constexpr std::size_t kBarWidth = 18;

kit::Color bar_color(double ratio) {
    if (ratio > 0.9) return palette::kError;
    if (ratio > 0.75) return palette::kWarning;
    return palette::kAccent;
}

kit::ListItem launcher_item(const LauncherEntry& entry, std::uint16_t panel_width) {
    std::string title = truncate_end(entry.title, kTitleWidth);
    title.append(kTitleWidth - std::min(kTitleWidth, char_count(title)), ' ');
    std::vector<kit::Span> first{kit::Span(std::move(title), kit::fg(palette::kLight).bold())};
    if (entry.space) {
        const auto [used, total] = *entry.space;
        const double ratio =
            static_cast<double>(used) / static_cast<double>(total == 0 ? 1 : total);
        first.emplace_back(usage_bar(kBarWidth, ratio),
                           kit::fg_bg(bar_color(ratio), palette::kDim));
        first.emplace_back(
            fmt::format("  {} free of {}", cli::format_size(used > total ? 0 : total - used),
                        cli::format_size(total)),
            kit::fg(palette::kMuted));
    }
    const std::size_t room = panel_width > 6 ? panel_width - 6u : 0;
    return kit::ListItem(kit::Text(std::vector<kit::Line>{
        kit::Line(std::move(first)),
        kit::Line(kit::Span(truncate_start(entry.detail, room), kit::fg(palette::kMuted))),
        kit::Line(""),
    }));
}

}  // namespace

std::vector<LauncherEntry> build_launcher_entries(const std::optional<std::string>& working_folder,
                                                  const std::optional<std::string>& home,
                                                  std::vector<LauncherEntry> volumes) {
    std::vector<LauncherEntry> entries;
    if (working_folder && (!home || *home != *working_folder)) {
        entries.push_back(LauncherEntry{std::nullopt, "This folder",
                                        cli::display_path(*working_folder, home),
                                        ScanFolder{*working_folder}});
    }
    if (home) {
        entries.push_back(LauncherEntry{std::nullopt, "Home", *home, ScanFolder{*home}});
    }
    for (LauncherEntry& v : volumes) entries.push_back(std::move(v));
    entries.push_back(LauncherEntry{std::nullopt, "Development cleanup",
                                    "Builds, caches, packages and finished Git worktrees",
                                    OpenDevCleanup{}});
    entries.push_back(
        LauncherEntry{std::nullopt, "Another folder…", "Type a path", OpenPathInput{}});
    return entries;
}

std::optional<std::string> launcher_working_folder() {
    auto folder = platform::working_directory();
    if (!folder) return std::nullopt;
    return std::move(*folder);
}

KeyHints draw_launcher(const App& app, kit::Buffer& buf, kit::Rect body) {
    const std::uint32_t n = static_cast<std::uint32_t>(app.launcher.size());
    const kit::Rect panel = centered_rect(body, 84, 3 * n + 9);
    const auto parts = kit::Layout::vertical({kit::Constraint::length(5), kit::Constraint::min(3),
                                              kit::Constraint::length(2)})
                           .split(panel);
    kit::Paragraph(
        kit::Text(std::vector<kit::Line>{
            kit::Line(""),
            kit::Line(std::vector<kit::Span>{
                kit::Span("◐ ", kit::fg(palette::kAccent)),
                kit::Span("What should BramVelt look at?", kit::fg(palette::kLight).bold())}),
            kit::Line(kit::Span("Live disk maps with a treemap, plus safe cleanup of rebuildable "
                                "development files.",
                                kit::fg(palette::kMuted))),
        }))
        .render(parts[0], buf);

    kit::List list;
    for (const LauncherEntry& entry : app.launcher) {
        list.items.push_back(launcher_item(entry, panel.width));
    }
    list.block = panel_block(" Start ", Focus::Focused);
    list.highlight_style = kit::fg(palette::kAccent);
    list.highlight_symbol = "▶ ";
    kit::ListState state;
    state.selected = app.launcher_selected;
    list.render(parts[1], buf, state);

    if (app.path_input) {
        input_line("Folder:", *app.path_input).render(parts[2], buf);
        return {{"Enter", "scan"}, {"Esc", "cancel"}, {"^U", "clear"}};
    }
    return {{"↑↓", "choose"}, {"Enter", "open"}, {"/", "type a path"}, {"2", "dev cleanup"}};
}

}  // namespace bramvelt::tui
