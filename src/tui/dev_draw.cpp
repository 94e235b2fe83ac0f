#include "src/tui/dev_draw.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "src/cli/format.hpp"
#include "src/tui/dev_dialogs.hpp"
#include "src/tui/kit/clear.hpp"
#include "src/tui/kit/layout.hpp"
#include "src/tui/kit/paragraph.hpp"
#include "src/tui/kit/table.hpp"
#include "src/tui/widgets.hpp"

namespace bramvelt::tui {
namespace {

using cli::DevCategory;
using development::CandidateKind;
using development::DevCandidate;

constexpr std::uint32_t kFixedColumns = 71;

struct CategoryLook {
    std::string_view title;
    std::string_view description;
    kit::Color color;
};

CategoryLook look(std::optional<DevCategory> category) {
    if (!category) return {"All items", "", palette::kLight};
    switch (*category) {
        case DevCategory::Rebuildable:
            return {"Can be rebuilt", "Builds, caches & downloaded packages", palette::kAccent};
        case DevCategory::Worktree:
            return {"Worktrees to review", "Clean copies with preserved commits", palette::kViolet};
        case DevCategory::Keep:
            break;
    }
    return {"Keep for now", "Source, local changes & uncertain files", palette::kWarning};
}

kit::Color badge_color(const DevCandidate& c) {
    switch (cli::item_category(c)) {
        case DevCategory::Rebuildable:
            return palette::kAccent;
        case DevCategory::Worktree:
            return palette::kViolet;
        case DevCategory::Keep:
            break;
    }
    return c.kind == CandidateKind::Repository ? palette::kMuted : palette::kWarning;
}

std::size_t spans_chars(const std::vector<kit::Span>& spans) {
    std::size_t n = 0;
    for (const auto& s : spans) n += char_count(s.content);
    return n;
}

kit::Block rounded(kit::Color border) {
    kit::Block block = kit::Block::bordered();
    block.border_type = kit::BorderType::Rounded;
    block.border_style = kit::fg(border);
    return block;
}

void draw_header(const DevView& view, kit::Buffer& buf, kit::Rect row,
                 const std::optional<std::string>& home, std::uint64_t tick,
                 const DrawClock& clock) {
    std::vector<kit::Span> spans{kit::Span(" ")};
    if (view.error) {
        spans.emplace_back(fmt::format("✗ {} ", cli::escape_for_display(*view.error)),
                           kit::fg(palette::kError));
    } else if (view.scanning) {
        spans.emplace_back(fmt::format("{} ", spinner_frame(tick)), kit::fg(palette::kAccent));
        spans.emplace_back("Searching ", kit::fg(palette::kLight).bold());
    } else if (view.summary) {
        spans.emplace_back(view.summary->cancelled ? kit::Span("■ ", kit::fg(palette::kWarning))
                                                   : kit::Span("✓ ", kit::fg(palette::kSuccess)));
    }
    spans.emplace_back(cli::describe_targets(view.roots, home), kit::fg(palette::kLight).bold());
    if (view.summary) {
        double seconds = static_cast<double>(view.summary->elapsed_ms) / 1000.0;
        if (view.scanning) {
            seconds = 0;
            if (view.search_started && clock.monotonic >= *view.search_started) {
                seconds =
                    std::chrono::duration<double>(clock.monotonic - *view.search_started).count();
            }
        }
        spans.emplace_back(fmt::format("  {} entries · {} folders · {} git checks · {:.1f}s",
                                       cli::format_count(view.summary->entries_examined),
                                       cli::format_count(view.summary->directories_listed),
                                       cli::format_count(view.summary->git_commands), seconds),
                           kit::fg(palette::kMuted));
        if (view.summary->limited)
            spans.emplace_back(" · limit reached", kit::fg(palette::kWarning));
    }
    const std::size_t used = spans_chars(spans) + 19 + (view.verify_remotes ? 2 : 0);
    kit::Line(std::move(spans)).render(row, buf);
    if (row.width > used) {
        const std::string label = view.verify_remotes ? " remotes: verified " : " remotes: cached ";
        const std::size_t chars = char_count(label);
        buf.set_stringn(static_cast<std::uint16_t>(row.right() - chars), row.y, label, chars,
                        kit::fg(view.verify_remotes ? palette::kSuccess : palette::kMuted));
    }
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

void draw_box(kit::Buffer& buf, kit::Rect area, kit::Block block, kit::Line first,
              kit::Line second) {
    const kit::Rect inner = block.inner(area);
    block.render(area, buf);
    if (inner.height == 0) return;
    first.render(kit::Rect::make(inner.x, inner.y, inner.width, 1), buf);
    if (inner.height > 1)
        second.render(kit::Rect::make(inner.x, inner.y + 1u, inner.width, 1), buf);
}

void draw_boxes(const DevView& view, kit::Buffer& buf, kit::Rect row) {
    kit::Layout layout =
        kit::Layout::horizontal({kit::Constraint::fill(1), kit::Constraint::fill(1),
                                 kit::Constraint::fill(1), kit::Constraint::fill(1)});
    layout.spacing = 1;
    const auto parts = layout.split(row);
    const DevCategory categories[] = {DevCategory::Rebuildable, DevCategory::Worktree,
                                      DevCategory::Keep};
    for (std::size_t i = 0; i < 3; ++i) {
        const DevCategory category = categories[i];
        const CategoryLook l = look(category);
        std::vector<const DevCandidate*> items;
        std::uint64_t keep_total = 0;
        for (const auto& c : view.candidates) {
            if (cli::item_category(c) != category) continue;
            items.push_back(&c);
            keep_total = saturating_add(keep_total, c.allocated_bytes);
        }
        const std::uint64_t total =
            category == DevCategory::Keep ? keep_total : cli::reclaimable_total(items);
        kit::Block block = rounded(view.filter.category == category ? l.color : palette::kDim);
        block.title(kit::Line(kit::Span(fmt::format(" {} ", l.title), kit::fg(l.color).bold())));
        const std::size_t width = parts[i].width > 4 ? parts[i].width - 4u : 0;
        draw_box(
            buf, parts[i], std::move(block),
            kit::Line(std::vector<kit::Span>{
                kit::Span(cli::format_size(total), kit::fg(palette::kLight).bold()),
                kit::Span(fmt::format("  {} item{}", cli::format_count(items.size()),
                                      items.size() == 1 ? "" : "s"),
                          kit::fg(palette::kMuted))}),
            kit::Line(kit::Span(truncate_end(l.description, width), kit::fg(palette::kMuted))));
    }
    kit::Block block = rounded(view.filter.category ? palette::kDim : palette::kLight);
    block.title(kit::Line(kit::Span(" Space to review ", kit::fg(palette::kSuccess).bold())));
    const auto selected = selected_candidates(view.candidates, view);
    const std::string second =
        view.selected_paths.empty()
            ? std::string("Tab here to see everything")
            : fmt::format("{} selected", cli::format_size(cli::reclaimable_total(selected)));
    draw_box(buf, parts[3], std::move(block),
             kit::Line(kit::Span(cli::format_size(cli::reclaimable_total_of_items(view.candidates)),
                                 kit::fg(palette::kSuccess).bold())),
             kit::Line(kit::Span(second, kit::fg(palette::kMuted))));
}

kit::TableCell cell(std::string text, kit::Style style) {
    return kit::TableCell(kit::Text(kit::Line(kit::Span(std::move(text), style))));
}

std::string filter_parts(const cli::DevItemFilter& filter) {
    std::string parts(sort_label(filter.sort));
    if (filter.older_than_days != 0) {
        parts += fmt::format(" · unchanged {}+ days", filter.older_than_days);
    }
    if (filter.min_size != 0) {
        parts += filter.min_size >= 1'000'000'000 ? " · ≥ 1 GB" : " · ≥ 100 MB";
    }
    if (!filter.search.empty()) parts += " · “" + filter.search + "”";
    return parts;
}

void draw_table(DevView& view, const std::vector<const DevCandidate*>& visible, kit::Buffer& buf,
                kit::Rect area, const std::optional<std::string>& home, std::int64_t now) {
    const std::size_t n = visible.size();
    view.cursor = n == 0 ? 0 : std::min(view.cursor, n - 1);
    view.page = area.height > 3 ? area.height - 3u : 0;
    if (view.cursor < view.scroll) {
        view.scroll = view.cursor;
    } else if (area.height > 3 && view.cursor >= view.scroll + view.page) {
        view.scroll = view.cursor - view.page + 1;
    }
    const std::size_t location_width = area.width > kFixedColumns ? area.width - kFixedColumns : 0;
    const kit::Style muted = kit::fg(palette::kMuted);

    kit::Table table;
    table.widths = {kit::Constraint::length(3),  kit::Constraint::length(10),
                    kit::Constraint::length(5),  kit::Constraint::length(20),
                    kit::Constraint::length(26), kit::Constraint::fill(1)};
    table.header = kit::Row(std::vector<kit::TableCell>{
        cell("", muted), cell("Size", muted), cell("Age", muted), cell("Status", muted),
        cell("Kind", muted), cell("Location", muted)});
    for (std::size_t i = view.scroll; i < n && i < view.scroll + view.page; ++i) {
        const DevCandidate& c = *visible[i];
        const DevCategory k = cli::item_category(c);
        kit::TableCell mark =
            k == DevCategory::Keep ? cell(" · ", kit::fg(palette::kDim))
            : (!view.selected_paths.empty() && view.selected_paths.contains(c.path))
                ? cell("[✓]", kit::fg(palette::kSuccess).bold())
                : cell("[ ]", muted);
        const std::string size = c.measurement_complete ? cli::format_size(c.allocated_bytes)
                                                        : "≥" + cli::format_size(c.allocated_bytes);
        const auto age_time = view.filter.sort == cli::DevSortOrder::Access && !c.git
                                  ? c.last_access_estimate
                                  : c.last_modified;
        std::optional<std::int64_t> then;
        if (age_time) then = static_cast<std::int64_t>(*age_time);
        std::string suffix;
        if (c.git && c.git->branch) suffix = "  ⎇ " + cli::escape_for_display(*c.git->branch);
        const std::size_t suffix_chars = char_count(suffix);
        const std::size_t path_room = std::max<std::size_t>(
            location_width > suffix_chars ? location_width - suffix_chars : 0, 12);
        kit::Row row(std::vector<kit::TableCell>{
            std::move(mark), cell(size, kit::fg(palette::kLight)),
            cell(cli::format_age(then, now), muted),
            cell(std::string(cli::item_badge(c)), kit::fg(badge_color(c))),
            cell(cli::item_label(c), kit::fg(palette::kLight)),
            cell(truncate_start(cli::display_path(c.path, home), path_room) + suffix, muted)});
        if (i == view.cursor) row.style = kit::Style().with_bg(palette::kSelection).bold();
        table.rows.push_back(std::move(row));
    }
    const CategoryLook l = look(view.filter.category);
    kit::Block block = rounded(l.color);
    block.title(kit::Line(kit::Span(fmt::format(" {} · {} shown · {} ", l.title,
                                                cli::format_count(n), filter_parts(view.filter)),
                                    kit::fg(palette::kLight).bold())));
    const auto selected = selected_candidates(view.candidates, view);
    if (!selected.empty()) {
        block.title_bottom(kit::Line(std::vector<kit::Span>{
            kit::Span(fmt::format(" {} selected · {} ", selected.size(),
                                  cli::format_size(cli::reclaimable_total(selected))),
                      kit::fg(palette::kSuccess).bold()),
            kit::Span("Enter to review ", muted)}));
    } else {
        block.title_bottom(kit::Line(kit::Span(" Space selects · Enter reviews ", muted)));
    }
    table.block = std::move(block);
    table.render(area, buf);

    if (n == 0 && area.height > 0) {
        const std::string_view message = view.scanning
                                             ? "Searching… items appear here as they are found"
                                         : (view.searched && view.candidates.empty())
                                             ? "No development clutter found here"
                                             : "Nothing matches — Tab changes category, / searches";
        const std::uint32_t width = std::min<std::uint32_t>(
            static_cast<std::uint32_t>(char_count(message) + 2), area.width);
        const kit::Rect rect = kit::Rect::make(area.x + (area.width - width) / 2,
                                               area.y + (area.height - 1u) / 2, width, 1);
        kit::Line(kit::Span(std::string(message), muted)).render(rect, buf);
    }
}

std::string explanation(const DevCandidate& c) {
    switch (cli::item_category(c)) {
        case DevCategory::Worktree:
            return "This working copy is clean, and its commits are preserved in another branch "
                   "or a verified remote backup. Review whether you still need this copy.";
        case DevCategory::Rebuildable:
            if (c.kind == CandidateKind::Cache) {
                return fmt::format(
                    "{} can recreate this cache. The next build or tool run may take longer.",
                    c.tool);
            }
            if (c.kind == CandidateKind::Dependencies) {
                return "Your package manager can download these packages again. The next install "
                       "may take longer and need an internet connection.";
            }
            return fmt::format(
                "{} can recreate these generated files from your source. The next build may take "
                "longer.",
                c.tool);
        case DevCategory::Keep:
            break;
    }
    if (c.kind == CandidateKind::Repository) {
        return "Keep this repository and its shared Git history. Its rebuildable files are "
               "listed separately.";
    }
    if (!c.git) {
        if (!c.measurement_complete) {
            return "The scan did not finish checking this folder. Its size is a lower bound; "
                   "inspect it or scan again.";
        }
        return "The folder looks like development output, but the scan could not prove that all "
               "its contents can be recreated. Inspect the files before deciding.";
    }
    const auto& g = *c.git;
    if (g.dirty == development::DirtyState::Yes || g.staged != 0 || g.modified != 0 ||
        g.untracked != 0) {
        return "This worktree has uncommitted changes or new files. Commit or back them up "
               "before considering removal.";
    }
    if (g.locked) {
        return "Git has locked this worktree. Find out which tool or person is using it before "
               "considering removal.";
    }
    if (g.operation_in_progress) {
        return "A Git operation is in progress. Let it finish before considering removal.";
    }
    if (g.ignored_unknown != 0) {
        return "Some ignored files are not recognized as rebuildable. They may contain work you "
               "need to keep.";
    }
    if (g.dirty == development::DirtyState::NotEstablished) {
        return "The scan could not confirm whether this worktree has local changes. Scan again "
               "or inspect its files.";
    }
    if (g.shallow || g.partial_history) {
        return "The available Git history is incomplete, so the scan cannot confirm that all "
               "commits are preserved elsewhere.";
    }
    if (!c.measurement_complete) {
        return "The scan did not finish checking this folder. Its size is a lower bound, and its "
               "files need another scan.";
    }
    return "The scan could not confirm that another branch or a live remote backup preserves "
           "all commits. Keep this copy until you verify its history.";
}

std::optional<std::int64_t> as_time(std::optional<std::uint64_t> t) {
    if (!t) return std::nullopt;
    return static_cast<std::int64_t>(std::min<std::uint64_t>(
        *t, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));
}

kit::Line git_line(const development::GitDetail& g, std::int64_t now) {
    std::vector<kit::Span> spans{
        kit::Span("⎇ ", kit::fg(palette::kViolet)),
        kit::Span(g.branch ? cli::escape_for_display(*g.branch) : std::string("detached"),
                  kit::fg(palette::kLight).bold())};
    if (g.head) spans.emplace_back(" @ " + g.head->substr(0, 9), kit::fg(palette::kMuted));
    if (g.staged != 0 || g.modified != 0 || g.untracked != 0) {
        spans.emplace_back(fmt::format(" · {} staged, {} modified, {} untracked", g.staged,
                                       g.modified, g.untracked),
                           kit::fg(palette::kWarning));
    }
    if (!g.merged_into.empty()) {
        spans.emplace_back(" · merged into " + join_folder_names(g.merged_into),
                           kit::fg(palette::kSuccess));
    }
    if (!g.verified_remote_refs.empty()) {
        spans.emplace_back(" · ✓ on " + join_folder_names(g.verified_remote_refs),
                           kit::fg(palette::kSuccess));
    } else if (!g.cached_remote_refs.empty()) {
        spans.emplace_back(
            " · cached " + join_folder_names(g.cached_remote_refs) + " (press v to verify)",
            kit::fg(palette::kMuted));
    }
    if (g.last_commit) {
        spans.emplace_back(
            " · last commit " + cli::format_age(as_time(g.last_commit), now) + " ago",
            kit::fg(palette::kMuted));
    }
    return kit::Line(std::move(spans));
}

void draw_details(const DevView& view, const std::vector<const DevCandidate*>& visible,
                  kit::Buffer& buf, kit::Rect area, const std::optional<std::string>& home,
                  std::int64_t now) {
    if (view.cursor >= visible.size()) {
        panel_block(" Details ", Focus::Unfocused).render(area, buf);
        return;
    }
    const DevCandidate& c = *visible[view.cursor];
    kit::Block block = rounded(palette::kDim);
    const std::size_t room = area.width > 6 ? area.width - 6u : 0;
    block.title(kit::Line(
        kit::Span(fmt::format(" {} ", truncate_start(cli::display_path(c.path, home), room)),
                  kit::fg(palette::kLight).bold())));
    std::string facts =
        fmt::format(" · {} · {} · {} files", cli::item_label(c),
                    cli::format_size(c.allocated_bytes), cli::format_count(c.files));
    facts += fmt::format(" · changed {} ago", cli::format_age(as_time(c.last_modified), now));
    if (c.last_access_estimate) {
        facts +=
            fmt::format(" · opened ~{} ago", cli::format_age(as_time(c.last_access_estimate), now));
    }
    std::vector<kit::Line> lines;
    lines.emplace_back(std::vector<kit::Span>{
        kit::Span(std::string(cli::item_badge(c)), kit::fg(badge_color(c)).bold()),
        kit::Span(std::move(facts), kit::fg(palette::kMuted))});
    lines.emplace_back(kit::Span(explanation(c), kit::fg(palette::kLight)));
    if (c.git) lines.push_back(git_line(*c.git, now));
    if (!c.reasons.empty()) {
        std::string evidence = "Evidence:";
        for (const auto& reason : c.reasons) evidence += " " + reason;
        lines.emplace_back(kit::Span(std::move(evidence), kit::fg(palette::kMuted)));
    }
    kit::Paragraph(kit::Text(std::move(lines)))
        .with_block(std::move(block))
        .wrapped(kit::LeadingSpace::Trim)
        .render(area, buf);
}

}  // namespace

std::string join_folder_names(const std::vector<std::string>& names) {
    std::string joined;
    for (const auto& name : names) {
        if (!joined.empty()) joined += ", ";
        joined += cli::escape_for_display(name);
    }
    return joined;
}

KeyHints draw_dev_view(DevView& view, kit::Buffer& buf, kit::Rect area,
                       const std::optional<std::string>& home, std::uint64_t tick,
                       const DrawClock& clock) {
    const std::uint32_t half = area.height / 2u;
    const std::uint32_t details = half < 11 ? 0 : half < 15 ? 7 : 9;
    const auto rows =
        kit::Layout::vertical({kit::Constraint::length(1), kit::Constraint::length(4),
                               kit::Constraint::min(4), kit::Constraint::length(details)})
            .split(area);
    const auto visible = visible_items(view);
    draw_header(view, buf, rows[0], home, tick, clock);
    draw_boxes(view, buf, rows[1]);
    draw_table(view, visible, buf, rows[2], home, clock.unix_seconds);
    if (rows[3].height > 0) draw_details(view, visible, buf, rows[3], home, clock.unix_seconds);

    const kit::Rect table = rows[2];
    if (view.search_input) {
        const std::uint32_t y = table.y + (table.height >= 2 ? table.height - 2u : 0u);
        const std::uint32_t width =
            std::min<std::uint32_t>(table.width >= 2 ? table.width - 2u : 0u, 70);
        const kit::Rect line = kit::Rect::make(table.x + 1u, y, width, 1).intersection(area);
        kit::Block background;
        background.style = kit::Style().with_bg(palette::kSelection);
        background.render(line, buf);
        input_line("Search:", *view.search_input).render(line, buf);
        return {{"Enter", "keep search"}, {"Esc", "clear"}};
    }
    if (view.folders_input) {
        const kit::Rect popup = centered_rect(area, 80, 5);
        kit::Clear{}.render(popup, buf);
        std::vector<kit::Line> lines{
            input_line("Folders:", *view.folders_input), kit::Line(""),
            kit::Line(
                kit::Span(" Comma-separated. Leave empty for the usual development locations.",
                          kit::fg(palette::kMuted)))};
        kit::Paragraph(kit::Text(std::move(lines)))
            .with_block(popup_block(" Scan folders "))
            .render(popup, buf);
        return {{"Enter", "scan"}, {"Esc", "cancel"}, {"^U", "clear"}};
    }
    if (std::holds_alternative<ReviewDialog>(view.dialog)) {
        return draw_review_dialog(view, buf, area, home);
    }
    if (std::holds_alternative<ProgressDialog>(view.dialog)) {
        return draw_progress_dialog(view, buf, area, home, tick);
    }
    KeyHints hints{{"↑↓", "move"},      {"Tab", "category"},     {"Space", "select"}, {"a", "all"},
                   {"Enter", "review"}, {"/", "search"},         {"s", "sort"},       {"f", "age"},
                   {"m", "size"},       {"v", "verify remotes"}, {"o", "folders"}};
    hints.push_back(view.scanning ? KeyHint{"Esc", "stop"} : KeyHint{"r", "rescan"});
    return hints;
}

}  // namespace bramvelt::tui
